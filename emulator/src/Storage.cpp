#include "vorn_emulator/Storage.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <string>
#include <system_error>
#include <vector>

namespace vorn::emulator {

namespace {

[[noreturn]] void throwSqlite(sqlite3* db, int rc, std::string_view what) {
    std::string message(what);
    message += ": ";
    message += db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    throw SqliteError(rc, message);
}

constexpr std::string_view kSchemaVersionKey = "schema_version";

// SQLite counts every allocation under a global mutex unless told not to,
// and nothing here reads those counts. The setting is process-wide and
// only takes before SQLite's first use: in a process that used SQLite
// already the call fails, harmlessly, and its own setting stays.
void configureSqliteOnce() {
    static const bool configured = [] {
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        return true;
    }();
    (void)configured;
}

// Which fields the statements below index. An empty condition takes
// every one; else `row` is a condition on the objects row (for its kind 'x'
// row) and `member` one on a top-level member f of its data.
struct FieldFilter {
    std::string row;
    std::string member;
};

std::string andAlso(const std::string& condition) {
    return condition.empty() ? std::string() : " AND (" + condition + ")";
}

// A row may come twice (an array holding a value twice): the second adds nothing.
constexpr std::string_view kInsertRow =
    "INSERT OR IGNORE INTO field_index (class_name, key, kind, value, in_array, object_id) ";
// The JSON types of the values the index holds.
constexpr std::string_view kScalarTypes = " IN ('text', 'integer', 'real', 'true', 'false')";

// The index kind of the value of `alias`, a json_each row of a scalar.
std::string kindOf(std::string_view alias) {
    return "CASE " + std::string(alias) +
           ".type WHEN 'text' THEN 's' WHEN 'true' THEN 'b' WHEN 'false' THEN 'b' ELSE 'n' END";
}

// Follows "json_each(`member`.value)": names it l and keeps the numeric
// "latitude" members of a `member` that is a GeoPoint map.
std::string geoLatitudes(std::string_view member) {
    const std::string m(member);
    return " AS l WHERE " + m + ".type = 'object' AND l.key = 'latitude' AND l.type IN ('integer', 'real') AND " +
           "EXISTS (SELECT 1 FROM json_each(" + m +
           ".value) AS t WHERE t.key = '__type' AND t.type = 'text' AND t.value = 'GeoPoint')";
}

// The kind 'g' rows of one objects row (named as for fieldIndexRows below,
// its data read as `readable`): a top-level field that is a
// GeoPoint map (a "__type" of "GeoPoint" and a numeric "latitude") is
// indexed by its latitude, which bounds the distance of "$nearSphere" and
// the boxes of "$within". Every numeric "latitude" member gets a row, so
// that a map with repeated members is found however it is read.
std::string geoIndexRows(std::string_view row, std::string_view from, const std::string& readable,
                         const FieldFilter& filter = {}) {
    const std::string r(row);
    const std::string source = from.empty() ? std::string(" FROM ") : std::string(from) + ", ";
    // Data that cannot hold a GeoPoint (no "GeoPoint" in its text, not even
    // behind an escape) is not read again.
    const std::string data = r + ".data";
    const std::string object = "(CASE WHEN instr(" + data + ", 'GeoPoint') > 0 OR instr(" + data +
                               ", '\\u') > 0 THEN " + readable + " ELSE '{}' END)";
    return std::string(kInsertRow) + "SELECT " + r + ".class_name, f.key, 'g', l.value, 0, " + r + ".object_id" +
           source + "json_each(" + object + ") AS f, json_each(f.value)" + geoLatitudes("f") + andAlso(filter.member);
}

// The readable-object form of `row`.data: the data when it is a JSON
// object, else an empty one.
std::string indexedObject(std::string_view row) {
    const std::string data = std::string(row) + ".data";
    // CASE alone is sure to judge its branches in order, so the type is
    // read only of valid data, and the data is parsed twice, not three times.
    return "(CASE WHEN json_valid(" + data + ") THEN (CASE json_type(" + data + ") WHEN 'object' THEN " + data +
           " ELSE '{}' END) ELSE '{}' END)";
}

// The kind 'x' row of one objects row (named as for fieldIndexRows below)
// that `rowFilter` (a condition on it, or empty) admits: a row whose data is
// not a JSON object SQLite reads, or that holds an escaped surrogate (which
// SQLite and the emulator's parser may read apart), gets one, and every
// indexed find reads it. The filter comes first, so that SQLite judges it
// before it reads the data.
std::string unreadableRow(std::string_view row, std::string_view from, const std::string& rowFilter) {
    const std::string r(row);
    const std::string data = r + ".data";
    const std::string filter = rowFilter.empty() ? std::string() : "(" + rowFilter + ") AND ";
    return std::string(kInsertRow) + "SELECT " + r + ".class_name, '', 'x', '', 0, " + r + ".object_id " +
           std::string(from) + " WHERE " + filter + "((CASE WHEN json_valid(" + data + ") THEN json_type(" + data +
           ") END) IS NOT 'object' OR " + data + " GLOB '*\\[uU][dD][89abcdefABCDEF]*')";
}

// The statements that add the field_index rows of one objects row, named
// `row` ("NEW" in a trigger, "o" over the objects table with `from` naming
// it), first its kind 'x' row (unreadableRow). `withGeo` adds the GeoPoint
// rows.
std::vector<std::string> fieldIndexRows(std::string_view row, std::string_view from, bool withGeo,
                                        const FieldFilter& filter = {}) {
    const std::string r(row);
    const std::string object = indexedObject(row);
    const std::string insert(kInsertRow);
    std::vector<std::string> statements;
    statements.push_back(unreadableRow(row, from, filter.row));
    const std::string source = from.empty() ? std::string(" FROM ") : std::string(from) + ", ";
    statements.push_back(insert + "SELECT " + r + ".class_name, f.key, " + kindOf("f") + ", f.value, 0, " + r +
                         ".object_id" + source + "json_each(" + object + ") AS f WHERE f.type" +
                         std::string(kScalarTypes) + andAlso(filter.member));
    statements.push_back(insert + "SELECT " + r + ".class_name, f.key, " + kindOf("e") + ", e.value, 1, " + r +
                         ".object_id" + source + "json_each(" + object +
                         ") AS f, json_each(f.value) AS e WHERE f.type = 'array' AND e.type" +
                         std::string(kScalarTypes) + andAlso(filter.member));
    if (withGeo) statements.push_back(geoIndexRows(row, from, object, filter));
    return statements;
}

// The rows of one field (?2) of every object of one class (?1), as
// fieldIndexRows gives them but from one reading of each object: its
// members under that key first, then their values, elements and latitudes.
std::string oneFieldRows() {
    const std::string scalar(kScalarTypes);
    return "WITH f AS MATERIALIZED (SELECT o.class_name AS class_name, o.object_id AS object_id, f.key AS key, "
           "f.type AS type, f.value AS value FROM objects AS o, json_each(" +
           indexedObject("o") + ") AS f WHERE o.class_name = ?1 AND f.key = ?2) " + std::string(kInsertRow) +
           "SELECT f.class_name, f.key, " + kindOf("f") + ", f.value, 0, f.object_id FROM f WHERE f.type" + scalar +
           " UNION ALL SELECT f.class_name, f.key, " + kindOf("e") +
           ", e.value, 1, f.object_id FROM f, json_each(f.value) AS e WHERE f.type = 'array' AND e.type" + scalar +
           " UNION ALL SELECT f.class_name, f.key, 'g', l.value, 0, f.object_id FROM f, json_each(f.value)" +
           geoLatitudes("f");
}

std::string script(const std::vector<std::string>& statements) {
    std::string sql;
    for (const std::string& statement : statements) sql += statement + ";\n";
    return sql;
}

// Whether `row`'s class has fields in indexed_fields.
std::string classIndexed(std::string_view row) {
    return "EXISTS (SELECT 1 FROM indexed_fields WHERE class_name = " + std::string(row) + ".class_name)";
}

// The triggers that keep field_index current for every write to objects:
// for every field, or `onDemand` for those in indexed_fields. Then a write
// to a class without such fields skips its trigger, and field_index holds
// rows of those classes only.
std::string fieldIndexTriggers(bool withGeo, bool onDemand = false) {
    FieldFilter filter;
    if (onDemand) {
        filter.row = classIndexed("NEW");
        filter.member = classIndexed("NEW") +
                        " AND EXISTS (SELECT 1 FROM indexed_fields AS i WHERE i.class_name = NEW.class_name AND "
                        "i.key = f.key)";
    }
    const std::string rows = script(fieldIndexRows("NEW", "", withGeo, filter));
    const std::string removeOld =
        "DELETE FROM field_index WHERE class_name = OLD.class_name AND object_id = OLD.object_id;\n";
    const auto when = [&](const std::string& condition) { return onDemand ? " WHEN " + condition : std::string(); };
    std::string sql = "CREATE TRIGGER objects_field_index_insert AFTER INSERT ON objects" + when(classIndexed("NEW")) +
                      " BEGIN\n" + rows + "END;\n";
    sql += "CREATE TRIGGER objects_field_index_update AFTER UPDATE OF class_name, object_id, data ON objects" +
           when(classIndexed("OLD") + " OR " + classIndexed("NEW")) + " BEGIN\n" + removeOld + rows + "END;\n";
    sql += "CREATE TRIGGER objects_field_index_delete AFTER DELETE ON objects" + when(classIndexed("OLD")) +
           " BEGIN\n" + removeOld + "END;\n";
    return sql;
}

constexpr const char kDropFieldIndexTriggers[] =
    "DROP TRIGGER objects_field_index_insert;\n"
    "DROP TRIGGER objects_field_index_update;\n"
    "DROP TRIGGER objects_field_index_delete;\n";

// Version 6: field_index, kept by triggers on objects so that every write
// (through the object store or straight into the table) keeps it current,
// and filled from the objects already stored.
std::string fieldIndexScript() {
    std::string sql = R"sql(
        CREATE TABLE field_index (
          class_name TEXT NOT NULL,
          key        TEXT NOT NULL,
          kind       TEXT NOT NULL,
          value,
          in_array   INTEGER NOT NULL,
          object_id  TEXT NOT NULL
        );
        CREATE INDEX field_index_by_value ON field_index (class_name, key, kind, value, in_array, object_id);
        CREATE INDEX field_index_by_object ON field_index (class_name, object_id);
      )sql";
    sql += fieldIndexTriggers(false);
    sql += script(fieldIndexRows("o", " FROM objects AS o", false));
    return sql;
}

// Version 7: GeoPoint fields in the field index by latitude, for the
// objects already stored and through new triggers for every later write.
std::string geoIndexScript() {
    std::string sql = kDropFieldIndexTriggers;
    sql += fieldIndexTriggers(true);
    sql += geoIndexRows("o", " FROM objects AS o", indexedObject("o")) + ";\n";
    return sql;
}

// Version 8: field_index without a rowid. Its rows are kept in the order
// finds look them up in, so a write adds each row to two B-trees (the table
// and the by-object index) rather than three.
std::string fieldIndexByKeyScript() {
    std::string sql = kDropFieldIndexTriggers;
    sql += R"sql(
        CREATE TABLE field_index_by_key (
          class_name TEXT NOT NULL,
          key        TEXT NOT NULL,
          kind       TEXT NOT NULL,
          value      NOT NULL,
          in_array   INTEGER NOT NULL,
          object_id  TEXT NOT NULL,
          PRIMARY KEY (class_name, key, kind, value, in_array, object_id)
        ) WITHOUT ROWID;
        INSERT OR IGNORE INTO field_index_by_key
          SELECT class_name, key, kind, coalesce(value, ''), in_array, object_id FROM field_index;
        DROP TABLE field_index;
        ALTER TABLE field_index_by_key RENAME TO field_index;
        CREATE INDEX field_index_by_object ON field_index (class_name, object_id);
      )sql";
    sql += fieldIndexTriggers(true);
    return sql;
}

// Version 9: fields enter the index when a find first looks one up
// (Storage::indexField), so writes to fields that no find reads cost no
// index rows. The fields the index holds so far stay in it; the kind 'x'
// rows of a class with none go, as they would never be read.
std::string fieldsOnDemandScript() {
    std::string sql = kDropFieldIndexTriggers;
    sql += R"sql(
        CREATE TABLE indexed_fields (
          class_name TEXT NOT NULL,
          key        TEXT NOT NULL,
          PRIMARY KEY (class_name, key)
        ) WITHOUT ROWID;
        INSERT INTO indexed_fields SELECT DISTINCT class_name, key FROM field_index WHERE kind <> 'x';
        DELETE FROM field_index WHERE class_name NOT IN (SELECT class_name FROM indexed_fields);
      )sql";
    sql += fieldIndexTriggers(true, true);
    return sql;
}

// What Storage::indexField runs to fill the index with one field of one
// class (?1, ?2): the class's kind 'x' rows, then the field's rows.
struct FieldFill {
    std::string unreadable;
    std::string rows;
};

const FieldFill& fieldFill() {
    static const FieldFill fill{unreadableRow("o", " FROM objects AS o", "o.class_name = ?1"), oneFieldRows()};
    return fill;
}

}  // namespace

// ---------------------------------------------------------------- SqlValue

double SqlValue::asDouble() const {
    if (const auto* i = std::get_if<std::int64_t>(&value_)) return static_cast<double>(*i);
    return std::get<double>(value_);
}

// ---------------------------------------------------------------- Statement

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, &tail);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        throwSqlite(db, rc, "prepare failed for \"" + std::string(sql) + "\"");
    }
    if (stmt_ == nullptr) throw SqliteError(SQLITE_MISUSE, "no statement in \"" + std::string(sql) + "\"");
    // One statement per Statement: anything but whitespace after it is a mistake.
    for (const char* p = tail; p && p < sql.data() + sql.size(); ++p) {
        if (*p != ' ' && *p != '\n' && *p != '\t' && *p != '\r' && *p != ';') {
            sqlite3_finalize(stmt_);
            stmt_ = nullptr;
            throw SqliteError(SQLITE_MISUSE, "more than one statement in \"" + std::string(sql) + "\"");
        }
    }
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), stmt_(std::exchange(other.stmt_, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        db_ = std::exchange(other.db_, nullptr);
        stmt_ = std::exchange(other.stmt_, nullptr);
    }
    return *this;
}

Statement& Statement::bind(int index, const SqlValue& value) {
    int rc = SQLITE_OK;
    std::visit(
        [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
            rc = sqlite3_bind_null(stmt_, index);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
            rc = sqlite3_bind_int64(stmt_, index, v);
        } else if constexpr (std::is_same_v<T, double>) {
            rc = sqlite3_bind_double(stmt_, index, v);
        } else {
            rc = sqlite3_bind_text64(stmt_, index, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        }
        },
        value.value_);
    if (rc != SQLITE_OK) throwSqlite(db_, rc, "bind of parameter " + std::to_string(index) + " failed");
    return *this;
}

Statement& Statement::bindAll(const SqlParams& params) {
    const int expected = sqlite3_bind_parameter_count(stmt_);
    if (static_cast<int>(params.size()) != expected) {
        throw SqliteError(SQLITE_RANGE, "statement \"" + std::string(sqlite3_sql(stmt_)) + "\" takes " +
                                            std::to_string(expected) + " parameters, got " +
                                            std::to_string(params.size()));
    }
    for (std::size_t i = 0; i < params.size(); ++i) bind(static_cast<int>(i) + 1, params[i]);
    return *this;
}

bool Statement::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throwSqlite(db_, rc, "step failed for \"" + std::string(sqlite3_sql(stmt_)) + "\"");
}

void Statement::reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int Statement::columnCount() const {
    return sqlite3_column_count(stmt_);
}

std::string Statement::columnName(int column) const {
    const char* name = sqlite3_column_name(stmt_, column);
    return name ? name : "";
}

bool Statement::isNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t Statement::getInt(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

double Statement::getDouble(int column) const {
    return sqlite3_column_double(stmt_, column);
}

std::string Statement::getText(int column) const {
    const auto* text = sqlite3_column_text(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    if (text == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

SqlValue Statement::get(int column) const {
    switch (sqlite3_column_type(stmt_, column)) {
        case SQLITE_NULL:
            return SqlValue{};
        case SQLITE_INTEGER:
            return SqlValue{getInt(column)};
        case SQLITE_FLOAT:
            return SqlValue{getDouble(column)};
        case SQLITE_BLOB: {
            const void* blob = sqlite3_column_blob(stmt_, column);
            const int size = sqlite3_column_bytes(stmt_, column);
            return SqlValue{std::string(static_cast<const char*>(blob), static_cast<std::size_t>(size))};
        }
        default:
            return SqlValue{getText(column)};
    }
}

SqlRow Statement::row() const {
    SqlRow row;
    const int n = columnCount();
    row.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) row.push_back(get(i));
    return row;
}

// ---------------------------------------------------------------- Database

Database::Database(const std::string& path) {
    configureSqliteOnce();
    // A connection is used by one thread at a time (the server's), so
    // SQLite's own locking of it is not needed.
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = "cannot open database \"" + path + "\": ";
        message += db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        close();
        throw SqliteError(rc, message);
    }
    sqlite3_extended_result_codes(db_, 1);
}

Database::~Database() {
    close();
}

Database::Database(Database&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Database& Database::operator=(Database&& other) noexcept {
    if (this != &other) {
        close();
        db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
}

void Database::close() noexcept {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
}

void Database::exec(std::string_view sql) {
    const std::string script(sql);
    char* error = nullptr;
    const int rc = sqlite3_exec(db_, script.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string message = error ? error : sqlite3_errstr(rc);
        sqlite3_free(error);
        throw SqliteError(rc, "exec failed: " + message);
    }
}

Statement Database::prepare(std::string_view sql) {
    return Statement(db_, sql);
}

std::int64_t Database::lastInsertRowId() const {
    return sqlite3_last_insert_rowid(db_);
}

int Database::changes() const {
    return sqlite3_changes(db_);
}

// ---------------------------------------------------------------- Migrations

Migration Migration::sql(int version, std::string description, std::string script) {
    return Migration{version, std::move(description),
                     [script = std::move(script)](Storage& storage) { storage.exec(script); }};
}

const std::vector<Migration>& builtinMigrations() {
    static const std::vector<Migration> migrations{
        Migration::sql(1, "meta and objects tables", R"sql(
        CREATE TABLE meta (
          key   TEXT PRIMARY KEY NOT NULL,
          value TEXT NOT NULL
        );
        CREATE TABLE objects (
          class_name TEXT NOT NULL,
          object_id  TEXT NOT NULL,
          data       TEXT NOT NULL DEFAULT '{}',
          created_at TEXT NOT NULL,
          updated_at TEXT NOT NULL,
          PRIMARY KEY (class_name, object_id)
        );
      )sql"),
        // Epoch milliseconds next to the date texts (for ordering; rows written
        // before get them from their local date text), and relation rows.
        Migration::sql(2, "object times in milliseconds, relations table", R"sql(
        ALTER TABLE objects ADD COLUMN created_ms INTEGER NOT NULL DEFAULT 0;
        ALTER TABLE objects ADD COLUMN updated_ms INTEGER NOT NULL DEFAULT 0;
        UPDATE objects SET
          created_ms = COALESCE(CAST(strftime('%s', created_at, 'utc') AS INTEGER) * 1000, 0),
          updated_ms = COALESCE(CAST(strftime('%s', updated_at, 'utc') AS INTEGER) * 1000, 0);
        CREATE INDEX objects_by_created ON objects (class_name, created_ms);
        CREATE TABLE relations (
          owner_class  TEXT NOT NULL,
          owner_id     TEXT NOT NULL,
          key          TEXT NOT NULL,
          target_class TEXT NOT NULL,
          target_id    TEXT NOT NULL,
          UNIQUE (owner_class, owner_id, key, target_class, target_id)
        );
        CREATE INDEX relations_by_target ON relations (target_class, target_id);
      )sql"),
        // Accounts: password hashes and sessions of "_User" objects, the
        // single-use secrets of e-mail links and text codes, and the outbox of
        // mails and texts the emulator would have sent.
        Migration::sql(3, "passwords, sessions, account secrets, outbox", R"sql(
        CREATE TABLE passwords (
          user_id TEXT PRIMARY KEY NOT NULL,
          hash    TEXT NOT NULL
        );
        CREATE TABLE sessions (
          token_hash TEXT PRIMARY KEY NOT NULL,
          user_id    TEXT NOT NULL,
          created_at TEXT NOT NULL,
          created_ms INTEGER NOT NULL
        );
        CREATE INDEX sessions_by_user ON sessions (user_id);
        CREATE TABLE account_secrets (
          id          INTEGER PRIMARY KEY,
          kind        TEXT NOT NULL,
          secret_hash TEXT NOT NULL,
          user_id     TEXT NOT NULL,
          address     TEXT NOT NULL,
          created_ms  INTEGER NOT NULL,
          used        INTEGER NOT NULL DEFAULT 0
        );
        CREATE INDEX account_secrets_by_secret ON account_secrets (kind, secret_hash);
        CREATE INDEX account_secrets_by_address ON account_secrets (kind, address);
        CREATE TABLE outbox (
          id         INTEGER PRIMARY KEY,
          kind       TEXT NOT NULL,
          recipient  TEXT NOT NULL,
          link       TEXT,
          code       TEXT,
          created_at TEXT NOT NULL
        );
      )sql"),
        Migration::sql(4, "stored files", R"sql(
        CREATE TABLE files (
          group_name    TEXT NOT NULL,
          stored_name   TEXT NOT NULL,
          original_name TEXT NOT NULL,
          size          INTEGER NOT NULL,
          content_type  TEXT NOT NULL,
          etag          TEXT NOT NULL,
          created_ms    INTEGER NOT NULL,
          PRIMARY KEY (group_name, stored_name)
        );
      )sql"),
        // The delivery log of "/7/push" (vorn_emulator/Pushes.h).
        Migration::sql(5, "push deliveries", R"sql(
        CREATE TABLE push_deliveries (
          id              INTEGER PRIMARY KEY AUTOINCREMENT,
          push_id         TEXT NOT NULL,
          installation_id TEXT NOT NULL,
          device_token    TEXT,
          payload         TEXT NOT NULL,
          channels        TEXT NOT NULL,
          where_map       TEXT NOT NULL,
          due_ms          INTEGER NOT NULL,
          expires_ms      INTEGER,
          status          TEXT NOT NULL,
          created_at      TEXT NOT NULL
        );
      )sql"),
        // The field index that finds and counts read their candidates from
        // (query/FieldIndex.h).
        Migration::sql(6, "field index", fieldIndexScript()),
        // GeoPoint fields in the field index (query/FieldIndex.h).
        Migration::sql(7, "geo index", geoIndexScript()),
        // The field index as one B-tree ordered by its lookup key.
        Migration::sql(8, "field index by key", fieldIndexByKeyScript()),
        // Fields in the field index once finds use them (Storage::indexField).
        Migration::sql(9, "indexed fields on demand", fieldsOnDemandScript()),
    };
    return migrations;
}

// ---------------------------------------------------------------- Storage

Storage::Storage(Options options) : Storage(std::move(options), builtinMigrations()) {}

Storage::Storage(Options options, std::vector<Migration> migrations)
    : options_(std::move(options)), migrations_(std::move(migrations)) {
    for (std::size_t i = 0; i < migrations_.size(); ++i) {
        if (migrations_[i].version != static_cast<int>(i) + 1 || !migrations_[i].apply) {
            throw std::invalid_argument("migrations must be numbered 1, 2, 3... in order; entry " + std::to_string(i) +
                                        " has version " + std::to_string(migrations_[i].version));
        }
    }

    if (options_.memory) {
        db_ = Database(":memory:");
    } else {
        dataDir_ = options_.dataDir;
        filesDir_ = dataDir_ / kFilesDirName;
        std::filesystem::create_directories(filesDir_);
        db_ = Database((dataDir_ / kDatabaseFileName).string());
        // WAL keeps readers and the writer apart and makes commits cheap. A
        // page cache of up to 64 MiB (SQLite's default is 2 MiB) keeps the
        // B-trees of a large class in memory while a field enters the index.
        db_.exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-65536;");
    }
    db_.exec("PRAGMA foreign_keys=ON; PRAGMA busy_timeout=5000;");
    migrate();
}

Storage::~Storage() {
    cache_.clear();  // finalize before the connection closes
    if (ownsFilesDir_) {
        std::error_code ec;
        std::filesystem::remove_all(filesDir_, ec);
    }
}

const std::filesystem::path& Storage::filesDir() {
    if (filesDir_.empty()) {
        // Memory mode: a private temporary folder, removed with the Storage.
        std::string pattern = (std::filesystem::temp_directory_path() / "vorn-emulator-files-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "cannot create a temporary files folder");
        }
        filesDir_ = pattern;
        ownsFilesDir_ = true;
    }
    return filesDir_;
}

int Storage::readStoredVersion() {
    auto hasMeta = queryOne("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'meta'");
    if (!hasMeta) return 0;
    auto row = queryOne("SELECT value FROM meta WHERE key = ?", {kSchemaVersionKey});
    if (!row) return 0;
    const std::string& text = row->at(0).asText();
    try {
        std::size_t used = 0;
        const int version = std::stoi(text, &used);
        if (used == text.size() && version >= 0) return version;
    } catch (const std::exception&) {}
    throw std::runtime_error("stored schema_version \"" + text + "\" is not a number");
}

void Storage::migrate() {
    const int latest = static_cast<int>(migrations_.size());
    const int stored = readStoredVersion();
    if (stored > latest) {
        throw std::runtime_error("database schema version " + std::to_string(stored) +
                                 " is newer than this emulator supports (" + std::to_string(latest) + ")");
    }
    if (stored < latest) {
        transaction([&] {
            for (int v = stored + 1; v <= latest; ++v) {
                const Migration& migration = migrations_[static_cast<std::size_t>(v - 1)];
                try {
                    migration.apply(*this);
                } catch (const std::exception& e) {
                    throw std::runtime_error("migration " + std::to_string(v) + " (" + migration.description +
                                             ") failed: " + e.what());
                }
            }
            execute(
                "INSERT INTO meta (key, value) VALUES (?, ?) "
                "ON CONFLICT (key) DO UPDATE SET value = excluded.value",
                {kSchemaVersionKey, std::to_string(latest)});
        });
        cache_.clear();  // statements prepared against the old schema
    }
    schemaVersion_ = latest;
}

void Storage::exec(std::string_view sql) {
    db_.exec(sql);
}

int Storage::execute(std::string_view sql, const SqlParams& params) {
    auto statement = prepareCached(sql);
    statement->bindAll(params);
    while (statement->step()) {}
    return db_.changes();
}

std::vector<SqlRow> Storage::query(std::string_view sql, const SqlParams& params) {
    std::vector<SqlRow> rows;
    auto statement = prepareCached(sql);
    statement->bindAll(params);
    while (statement->step()) rows.push_back(statement->row());
    return rows;
}

std::optional<SqlRow> Storage::queryOne(std::string_view sql, const SqlParams& params) {
    auto statement = prepareCached(sql);
    statement->bindAll(params);
    if (!statement->step()) return std::nullopt;
    return statement->row();
}

void Storage::forEach(std::string_view sql, const SqlParams& params,
                      const std::function<void(const Statement&)>& onRow) {
    auto statement = prepareCached(sql);
    statement->bindAll(params);
    while (statement->step()) onRow(*statement);
}

bool Storage::indexField(const std::string& className, const std::string& key) {
    if (queryOne("SELECT 1 FROM indexed_fields WHERE class_name = ? AND key = ?", {className, key})) return true;
    const FieldFill& fill = fieldFill();
    try {
        Transaction transaction(*this);
        const bool classIndexed =
            queryOne("SELECT 1 FROM indexed_fields WHERE class_name = ?", {className}).has_value();
        execute("INSERT INTO indexed_fields (class_name, key) VALUES (?, ?)", {className, key});
        if (!classIndexed) execute(fill.unreadable, {className});
        execute(fill.rows, {className, key});
        transaction.commit();
    } catch (const SqliteError&) {
        return false;
    }
    return true;
}

Storage::StatementLease Storage::prepareCached(std::string_view sql) {
    auto it = cache_.find(sql);
    if (it == cache_.end()) {
        auto entry = std::make_unique<CachedStatement>();
        entry->statement = db_.prepare(sql);
        it = cache_.emplace(std::string(sql), std::move(entry)).first;
    }
    CachedStatement& entry = *it->second;
    if (entry.inUse) return StatementLease(db_.prepare(sql));
    entry.inUse = true;
    return StatementLease(&entry.statement, &entry.inUse);
}

Storage::StatementLease::StatementLease(Statement owned)
    : owned_(std::make_unique<Statement>(std::move(owned))), statement_(owned_.get()) {}

Storage::StatementLease::StatementLease(StatementLease&& other) noexcept
    : owned_(std::move(other.owned_)),
      statement_(std::exchange(other.statement_, nullptr)),
      inUse_(std::exchange(other.inUse_, nullptr)) {}

Storage::StatementLease::~StatementLease() {
    if (statement_ && inUse_) {
        statement_->reset();
        *inUse_ = false;
    }
}

// ---------------------------------------------------------------- Transaction

void Storage::noteChange(ChangeNotice notice) {
    if (!changeListener_) return;
    pendingChanges_.push_back(std::move(notice));
    if (transactionDepth_ == 0) publishChanges();
}

void Storage::publishChanges() {
    auto changes = std::move(pendingChanges_);
    pendingChanges_.clear();
    if (!changeListener_) return;
    for (const ChangeNotice& change : changes) changeListener_(change);
}

Storage::Transaction::Transaction(Storage& storage)
    : storage_(storage), level_(storage.transactionDepth_), changesMark_(storage.pendingChanges_.size()) {
    if (level_ == 0) {
        storage_.db_.exec("BEGIN IMMEDIATE");
    } else {
        storage_.db_.exec("SAVEPOINT vorn_sp_" + std::to_string(level_));
    }
    ++storage_.transactionDepth_;
}

void Storage::Transaction::commit() {
    if (done_) throw std::logic_error("transaction already finished");
    if (storage_.transactionDepth_ != level_ + 1) throw std::logic_error("an inner transaction is still open");
    if (level_ == 0) {
        storage_.db_.exec("COMMIT");  // on failure the transaction stays open and the destructor rolls back
    } else {
        storage_.db_.exec("RELEASE vorn_sp_" + std::to_string(level_));
    }
    done_ = true;
    --storage_.transactionDepth_;
    if (level_ == 0) storage_.publishChanges();
}

Storage::Transaction::~Transaction() {
    if (done_) return;
    try {
        if (level_ == 0) {
            storage_.db_.exec("ROLLBACK");
        } else {
            const std::string name = "vorn_sp_" + std::to_string(level_);
            storage_.db_.exec("ROLLBACK TO " + name + "; RELEASE " + name);
        }
    } catch (const std::exception&) {
        // Rolling back only fails when SQLite already ended the transaction.
    }
    if (storage_.pendingChanges_.size() > changesMark_) storage_.pendingChanges_.resize(changesMark_);
    --storage_.transactionDepth_;
}

}  // namespace vorn::emulator
