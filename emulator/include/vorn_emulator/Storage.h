#pragma once

// SQLite storage of the emulator: one database file "vorn.sqlite3" and a
// "files" folder under the data folder, or an in-memory database.
//
// A Storage is not thread-safe. The server uses it only from its own thread;
// other threads may use it while the server is not running, or through
// Server::call().

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace vorn::emulator {

// A failed SQLite call; code() is the SQLite result code.
class SqliteError : public std::runtime_error {
public:
    SqliteError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// One SQL value: NULL, INTEGER, REAL or TEXT (BLOBs are read as text bytes).
class SqlValue {
public:
    SqlValue() = default;
    SqlValue(std::nullptr_t) {}
    SqlValue(bool v) : value_(std::int64_t{v ? 1 : 0}) {}
    template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) SqlValue(T v) : value_(static_cast<std::int64_t>(v)) {}
    SqlValue(double v) : value_(v) {}
    SqlValue(const char* v) : value_(std::string(v)) {}
    SqlValue(std::string_view v) : value_(std::string(v)) {}
    SqlValue(std::string v) : value_(std::move(v)) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(value_); }
    bool isInt() const { return std::holds_alternative<std::int64_t>(value_); }
    bool isDouble() const { return std::holds_alternative<double>(value_); }
    bool isText() const { return std::holds_alternative<std::string>(value_); }

    // Throw std::bad_variant_access on a type mismatch (asDouble also takes an INTEGER).
    std::int64_t asInt() const { return std::get<std::int64_t>(value_); }
    double asDouble() const;
    const std::string& asText() const { return std::get<std::string>(value_); }

    friend bool operator==(const SqlValue&, const SqlValue&) = default;

private:
    friend class Statement;
    std::variant<std::monostate, std::int64_t, double, std::string> value_;
};

using SqlRow = std::vector<SqlValue>;
using SqlParams = std::vector<SqlValue>;

// RAII prepared statement. Parameters are 1-based, columns 0-based.
class Statement {
public:
    Statement() = default;
    Statement(sqlite3* db, std::string_view sql);
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, const SqlValue& value);
    Statement& bindAll(const SqlParams& params);  // binds params[i] to parameter i + 1

    // Runs to the next row: true when a row is ready, false when done.
    // Throws SqliteError on failure.
    bool step();
    // Resets to run again and clears the bindings.
    void reset();

    int columnCount() const;
    std::string columnName(int column) const;
    bool isNull(int column) const;
    std::int64_t getInt(int column) const;
    double getDouble(int column) const;
    std::string getText(int column) const;  // NULL reads as ""
    SqlValue get(int column) const;
    SqlRow row() const;

    sqlite3_stmt* handle() const noexcept { return stmt_; }
    explicit operator bool() const noexcept { return stmt_ != nullptr; }

private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
};

// RAII database connection, for one thread at a time (it is opened without
// SQLite's own locking).
class Database {
public:
    Database() = default;
    explicit Database(const std::string& path);  // ":memory:" for an in-memory database
    ~Database();
    Database(Database&& other) noexcept;
    Database& operator=(Database&& other) noexcept;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Runs a script of one or more statements without parameters. Only for
    // fixed SQL written in the code, never for text from a request.
    void exec(std::string_view sql);
    Statement prepare(std::string_view sql);
    std::int64_t lastInsertRowId() const;
    int changes() const;

    sqlite3* handle() const noexcept { return db_; }

private:
    void close() noexcept;
    sqlite3* db_ = nullptr;
};

class Storage;

// One schema step. Migrations are kept in ascending version order from 1;
// at open the ones above the stored version run in a single transaction.
struct Migration {
    int version;
    std::string description;
    std::function<void(Storage&)> apply;

    // A migration that is a fixed SQL script.
    static Migration sql(int version, std::string description, std::string script);
};

// The emulator's migrations, oldest first.
const std::vector<Migration>& builtinMigrations();

// A change of one stored object, published to the realtime host's
// subscribers once its transaction committed.
struct ChangeNotice {
    enum class Kind { Create, Update, Delete };
    Kind kind = Kind::Update;
    std::string className;
    std::string objectId;
    // The object as a find returns it when anyone may read it under its
    // access list; null otherwise (and for deletes).
    std::optional<std::string> publicObject;  // compact JSON text
};

class Storage {
public:
    struct Options {
        std::filesystem::path dataDir = "vorn-emulator-data";
        bool memory = false;  // ":memory:" database; nothing is written under dataDir
    };

    static constexpr const char* kDatabaseFileName = "vorn.sqlite3";
    static constexpr const char* kFilesDirName = "files";

    explicit Storage(Options options);
    Storage(Options options, std::vector<Migration> migrations);
    ~Storage();
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    // Schema version of the open database (the last migration's version).
    int schemaVersion() const { return schemaVersion_; }
    bool inMemory() const { return options_.memory; }
    // Empty in memory mode.
    const std::filesystem::path& dataDir() const { return dataDir_; }
    // Folder for stored files: dataDir/files, or in memory mode a temporary
    // folder created on first use and removed with the Storage.
    const std::filesystem::path& filesDir();

    Database& db() { return db_; }

    // A fixed SQL script without parameters (see Database::exec).
    void exec(std::string_view sql);
    // One statement with bound parameters; returns the number of changed rows.
    int execute(std::string_view sql, const SqlParams& params = {});
    // All rows of a query with bound parameters.
    std::vector<SqlRow> query(std::string_view sql, const SqlParams& params = {});
    // The first row, if any.
    std::optional<SqlRow> queryOne(std::string_view sql, const SqlParams& params = {});
    // Calls onRow for each row while the statement is positioned on it.
    void forEach(std::string_view sql, const SqlParams& params, const std::function<void(const Statement&)>& onRow);
    std::int64_t lastInsertRowId() const { return db_.lastInsertRowId(); }

    // A prepared statement kept for reuse, keyed by its SQL text. The lease
    // resets the statement when it goes away. If the cached one is in use (a
    // nested use of the same SQL) a fresh statement is prepared instead.
    class StatementLease {
    public:
        StatementLease(StatementLease&& other) noexcept;
        StatementLease& operator=(StatementLease&&) = delete;
        ~StatementLease();
        Statement& operator*() const { return *statement_; }
        Statement* operator->() const { return statement_; }

    private:
        friend class Storage;
        StatementLease(Statement* cached, bool* inUse) : statement_(cached), inUse_(inUse) {}
        explicit StatementLease(Statement owned);
        std::unique_ptr<Statement> owned_;
        Statement* statement_ = nullptr;
        bool* inUse_ = nullptr;
    };
    StatementLease prepareCached(std::string_view sql);

    // Makes the field index hold the field `key` of `className` from now on
    // (the triggers on objects keep it current), filling it from the
    // stored objects the first time, in one savepoint with its entry in
    // indexed_fields. Needs that table (schema version 9). False when the
    // fill failed: the index then stays as it was, and the caller scans.
    bool indexField(const std::string& className, const std::string& key);

    // A transaction: BEGIN IMMEDIATE at the outermost level, a SAVEPOINT inside
    // another one. Rolled back when destroyed without commit().
    class Transaction {
    public:
        explicit Transaction(Storage& storage);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit();

    private:
        Storage& storage_;
        int level_;
        std::size_t changesMark_;
        bool done_ = false;
    };

    // Runs fn inside a Transaction, committing when it returns and rolling back
    // when it throws.
    template <class Fn>
    auto transaction(Fn&& fn) -> std::invoke_result_t<Fn&> {
        Transaction tx(*this);
        if constexpr (std::is_void_v<std::invoke_result_t<Fn&>>) {
            fn();
            tx.commit();
        } else {
            auto result = fn();
            tx.commit();
            return result;
        }
    }

    bool inTransaction() const { return transactionDepth_ > 0; }

    // Object changes: noted inside a transaction, they reach the listener
    // after the outermost commit, in order; a rolled-back transaction or
    // savepoint drops its own. Outside a transaction they go at once. The
    // listener runs on the thread that commits and must not block. The
    // interest, when given, tells a writer beforehand whether a change of
    // that kind, class and object can reach anyone (without publicObject), so
    // that it reads the object only then; it runs on the writer's thread.
    using ChangeListener = std::function<void(const ChangeNotice&)>;
    using ChangeInterest = std::function<bool(const ChangeNotice&)>;
    void setChangeListener(ChangeListener listener, ChangeInterest interest = {}) {
        changeListener_ = std::move(listener);
        changeInterest_ = std::move(interest);
    }
    bool wantsChange(const ChangeNotice& notice) const {
        return changeListener_ && (!changeInterest_ || changeInterest_(notice));
    }
    void noteChange(ChangeNotice notice);

private:
    struct CachedStatement {
        Statement statement;
        bool inUse = false;
    };
    struct StringHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };

    void migrate();
    int readStoredVersion();

    Options options_;
    std::vector<Migration> migrations_;
    std::filesystem::path dataDir_;
    std::filesystem::path filesDir_;
    bool ownsFilesDir_ = false;  // memory mode: the temporary folder is ours to remove
    int schemaVersion_ = 0;
    int transactionDepth_ = 0;
    ChangeListener changeListener_;
    ChangeInterest changeInterest_;
    std::vector<ChangeNotice> pendingChanges_;
    void publishChanges();
    Database db_;
    std::unordered_map<std::string, std::unique_ptr<CachedStatement>, StringHash, std::equal_to<>> cache_;
};

}  // namespace vorn::emulator
