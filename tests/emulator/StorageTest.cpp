// SQLite storage: layout on disk, migrations, binding, transactions.

#include <gtest/gtest.h>

#include <limits>

#include "EmulatorTestUtil.h"
#include "vorn_emulator/DateText.h"
#include "vorn_emulator/ObjectStore.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator::emutest {
namespace {

Storage::Options onDisk(const TempDir& dir) {
    return Storage::Options{dir.path() / "data", false};
}

bool tableExists(Storage& storage, const std::string& name) {
    return storage.queryOne("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", {name}).has_value();
}

std::string storedVersion(Storage& storage) {
    return storage.queryOne("SELECT value FROM meta WHERE key = 'schema_version'")->at(0).asText();
}

const int kLatest = static_cast<int>(builtinMigrations().size());

// The built-in migrations plus `extra`, numbered after them.
std::vector<Migration> withExtra(std::vector<Migration> extra) {
    std::vector<Migration> all = builtinMigrations();
    for (auto& m : extra) all.push_back(std::move(m));
    return all;
}

TEST(EmulatorStorageTest, OpensAFreshFolderAtTheLatestVersion) {
    TempDir dir;
    Storage storage(onDisk(dir));
    EXPECT_EQ(storage.schemaVersion(), static_cast<int>(builtinMigrations().size()));
    EXPECT_EQ(storedVersion(storage), std::to_string(storage.schemaVersion()));
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.path() / "data" / "vorn.sqlite3"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "data" / "files"));
    EXPECT_EQ(storage.filesDir(), dir.path() / "data" / "files");
    EXPECT_TRUE(tableExists(storage, "objects"));
    EXPECT_EQ(storage.queryOne("PRAGMA journal_mode")->at(0).asText(), "wal");

    std::vector<std::string> columns;
    storage.forEach("SELECT name FROM pragma_table_info('objects') ORDER BY cid", {},
                    [&](const Statement& row) { columns.push_back(row.getText(0)); });
    EXPECT_EQ(columns, (std::vector<std::string>{"class_name", "object_id", "data", "created_at", "updated_at",
                                                 "created_ms", "updated_ms"}));
    EXPECT_TRUE(tableExists(storage, "relations"));
}

TEST(EmulatorStorageTest, ReopenKeepsVersionAndData) {
    TempDir dir;
    {
        Storage storage(onDisk(dir));
        storage.execute(
            "INSERT INTO objects (class_name, object_id, data, created_at, updated_at) VALUES (?, ?, ?, ?, ?)",
            {"Item", "a1", R"({"n":1})", "2024-05-01 10:00:00", "2024-05-01 10:00:00"});
    }
    Storage reopened(onDisk(dir));
    EXPECT_EQ(reopened.schemaVersion(), kLatest);
    EXPECT_EQ(storedVersion(reopened), std::to_string(kLatest));
    auto row = reopened.queryOne("SELECT data, created_at FROM objects WHERE class_name = ? AND object_id = ?",
                                 {"Item", "a1"});
    ASSERT_TRUE(row);
    EXPECT_EQ(row->at(0).asText(), R"({"n":1})");
    EXPECT_EQ(row->at(1).asText(), "2024-05-01 10:00:00");
}

TEST(EmulatorStorageTest, OnlyPendingMigrationsRun) {
    TempDir dir;
    { Storage storage(onDisk(dir)); }
    int extraRuns = 0;
    auto migrations = withExtra({Migration{kLatest + 1, "tags", [&](Storage& s) {
                                               ++extraRuns;
                                               s.exec("CREATE TABLE tags (name TEXT PRIMARY KEY)");
                                           }}});
    {
        Storage storage(onDisk(dir), migrations);
        EXPECT_EQ(storage.schemaVersion(), kLatest + 1);
        EXPECT_EQ(storedVersion(storage), std::to_string(kLatest + 1));
        EXPECT_TRUE(tableExists(storage, "tags"));
    }
    Storage again(onDisk(dir), migrations);
    EXPECT_EQ(extraRuns, 1);
    EXPECT_EQ(again.schemaVersion(), kLatest + 1);
}

TEST(EmulatorStorageTest, UpgradeFromVersionOneKeepsObjectsAndFillsTheirMillis) {
    TempDir dir;
    {
        Storage first(onDisk(dir), {builtinMigrations().front()});
        first.execute(
            "INSERT INTO objects (class_name, object_id, data, created_at, updated_at) VALUES (?, ?, ?, ?, ?)",
            {"Item", "a1", R"({"n":1})", "2024-05-01 10:00:00", "2024-05-02 11:30:15"});
    }
    Storage storage(onDisk(dir));
    EXPECT_EQ(storage.schemaVersion(), kLatest);
    EXPECT_TRUE(tableExists(storage, "relations"));
    auto object = ObjectStore(storage).load("Item", "a1");
    ASSERT_TRUE(object);
    EXPECT_EQ(object->fields, (nlohmann::json{{"n", 1}}));
    EXPECT_EQ(object->createdMs, epochMillis(*parseDateText("2024-05-01 10:00:00")));
    EXPECT_EQ(object->updatedMs, epochMillis(*parseDateText("2024-05-02 11:30:15")));
    EXPECT_EQ(object->updatedAt, "2024-05-02 11:30:15");
}

TEST(EmulatorStorageTest, AFailingMigrationLeavesNothingBehind) {
    TempDir dir;
    auto failing = withExtra({Migration{kLatest + 1, "half done", [](Storage& s) {
                                            s.exec("CREATE TABLE half (x INTEGER)");
                                            throw std::runtime_error("disk on fire");
                                        }}});
    // On a fresh folder all migrations run in one transaction: none sticks.
    EXPECT_THROW(Storage(onDisk(dir), failing), std::runtime_error);
    {
        Database db((dir.path() / "data" / "vorn.sqlite3").string());
        Statement tables = db.prepare("SELECT count(*) FROM sqlite_master");
        ASSERT_TRUE(tables.step());
        EXPECT_EQ(tables.getInt(0), 0);
    }
    TempDir second;
    { Storage storage(onDisk(second)); }
    EXPECT_THROW(Storage(onDisk(second), failing), std::runtime_error);
    Storage storage(onDisk(second));
    EXPECT_EQ(storage.schemaVersion(), kLatest);
    EXPECT_FALSE(tableExists(storage, "half"));
}

TEST(EmulatorStorageTest, RefusesADatabaseFromANewerVersion) {
    TempDir dir;
    { Storage storage(onDisk(dir), withExtra({Migration::sql(kLatest + 1, "extra", "CREATE TABLE extra (x)")})); }
    EXPECT_THROW(Storage{onDisk(dir)}, std::runtime_error);
}

TEST(EmulatorStorageTest, MigrationsMustBeNumberedInOrder) {
    EXPECT_THROW(Storage(Storage::Options{"", true}, withExtra({Migration::sql(kLatest + 2, "gap", "SELECT 1")})),
                 std::invalid_argument);
}

TEST(EmulatorStorageTest, MemoryModeWritesNothingUnderTheDataFolder) {
    TempDir dir;
    std::filesystem::path files;
    {
        Storage storage(Storage::Options{dir.path() / "data", true});
        EXPECT_TRUE(storage.inMemory());
        EXPECT_EQ(storage.schemaVersion(), kLatest);
        storage.execute("INSERT INTO meta (key, value) VALUES (?, ?)", {"k", "v"});
        EXPECT_EQ(storage.queryOne("SELECT value FROM meta WHERE key = ?", {"k"})->at(0).asText(), "v");
        files = storage.filesDir();
        EXPECT_TRUE(std::filesystem::is_directory(files));
        EXPECT_NE(files.string().find(std::filesystem::temp_directory_path().string()), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "data"));
    EXPECT_FALSE(std::filesystem::exists(files));
}

TEST(EmulatorStorageTest, ValuesAreBoundNotSpliced) {
    Storage storage(Storage::Options{"", true});
    const std::string hostile = "x'); DROP TABLE objects; --";
    const std::string withNul("a\0b", 3);
    storage.exec("CREATE TABLE t (v)");
    for (const SqlValue& value : {SqlValue(hostile), SqlValue(withNul), SqlValue(nullptr),
                                  SqlValue(std::numeric_limits<std::int64_t>::max()), SqlValue(-2.5), SqlValue(true)}) {
        storage.execute("INSERT INTO t (v) VALUES (?)", {value});
    }
    const auto rows = storage.query("SELECT v FROM t ORDER BY rowid");
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0][0].asText(), hostile);
    EXPECT_EQ(rows[1][0].asText(), withNul);
    EXPECT_TRUE(rows[2][0].isNull());
    EXPECT_EQ(rows[3][0].asInt(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(rows[4][0].asDouble(), -2.5);
    EXPECT_EQ(rows[5][0].asInt(), 1);
    EXPECT_TRUE(tableExists(storage, "objects"));
}

TEST(EmulatorStorageTest, ParameterCountMustMatch) {
    Storage storage(Storage::Options{"", true});
    EXPECT_THROW(storage.execute("INSERT INTO meta (key, value) VALUES (?, ?)", {"only one"}), SqliteError);
    EXPECT_THROW(storage.execute("SELECT * FROM no_such_table"), SqliteError);
    EXPECT_THROW(storage.execute("SELECT 1; SELECT 2"), SqliteError);
    // A failed statement leaves the cache usable.
    EXPECT_EQ(storage.execute("INSERT INTO meta (key, value) VALUES (?, ?)", {"a", "b"}), 1);
}

TEST(EmulatorStorageTest, TransactionsCommitOrRollBack) {
    Storage storage(Storage::Options{"", true});
    storage.exec("CREATE TABLE t (v INTEGER)");
    const auto count = [&] { return storage.queryOne("SELECT count(*) FROM t")->at(0).asInt(); };

    storage.transaction([&] { storage.execute("INSERT INTO t VALUES (?)", {1}); });
    EXPECT_EQ(count(), 1);

    EXPECT_THROW(storage.transaction([&] {
        storage.execute("INSERT INTO t VALUES (?)", {2});
        throw std::runtime_error("abort");
    }),
                 std::runtime_error);
    EXPECT_EQ(count(), 1);
    EXPECT_FALSE(storage.inTransaction());

    // A failed inner transaction undoes only its own work.
    const int result = storage.transaction([&] {
        storage.execute("INSERT INTO t VALUES (?)", {3});
        try {
            storage.transaction([&] {
                storage.execute("INSERT INTO t VALUES (?)", {4});
                throw std::runtime_error("inner");
            });
        } catch (const std::runtime_error&) {}
        return 7;
    });
    EXPECT_EQ(result, 7);
    EXPECT_EQ(count(), 2);
    EXPECT_FALSE(storage.queryOne("SELECT 1 FROM t WHERE v = 4").has_value());
}

TEST(EmulatorStorageTest, NestedUseOfTheSameStatement) {
    Storage storage(Storage::Options{"", true});
    storage.exec("CREATE TABLE t (v INTEGER)");
    for (int i = 0; i < 3; ++i) storage.execute("INSERT INTO t VALUES (?)", {i});
    const std::string sql = "SELECT v FROM t WHERE v >= ? ORDER BY v";
    std::vector<std::int64_t> pairs;
    storage.forEach(sql, {0}, [&](const Statement& outer) {
        // The same SQL while the cached statement is busy: a fresh one is used.
        pairs.push_back(static_cast<std::int64_t>(storage.query(sql, {outer.getInt(0)}).size()));
    });
    EXPECT_EQ(pairs, (std::vector<std::int64_t>{3, 2, 1}));
}

}  // namespace
}  // namespace vorn::emulator::emutest
