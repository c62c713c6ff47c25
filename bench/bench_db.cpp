// Queue database throughput: every queued job costs one "queue_append" and
// one "queue_remove", each its own durable commit, so the figure is
// append+remove pairs per second. Measured on a database file in WAL mode
// with synchronous FULL:
//   (a) a bare loop on the SQLite C API with the same two statements,
//   (b) the same through BR2DBSqlite::call, one thread,
//   (c) through call from 4 threads at once.
// Usage: bench_db [pairs per run, default 1000] [folder for the database]
#include "br2dbsqlite.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

const QString kItem = QStringLiteral(
    "{\"args\":[\"pellowcloud\",\"/share/Photos/2023/holiday\",\"/share/.thumbs/holiday\"],\"command\":\"\"}");

struct Bare
{
    sqlite3 *db = nullptr;
    sqlite3_stmt *append = nullptr;
    sqlite3_stmt *remove = nullptr;
};

bool openBare(Bare &bare, const QString &path, const QJsonObject &engine)
{
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &bare.db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK)
        return false;
    sqlite3_busy_timeout(bare.db, 5000);
    sqlite3_exec(bare.db, "PRAGMA synchronous = FULL;", nullptr, nullptr, nullptr);
    const QByteArray append = engine.value("queue_append").toObject().value("text").toString().toUtf8();
    const QByteArray remove = engine.value("queue_remove").toObject().value("text").toString().toUtf8();
    return sqlite3_prepare_v2(bare.db, append.constData(), -1, &bare.append, nullptr) == SQLITE_OK
           && sqlite3_prepare_v2(bare.db, remove.constData(), -1, &bare.remove, nullptr) == SQLITE_OK;
}

bool barePairs(Bare &bare, int pairs)
{
    const QByteArray item = kItem.toUtf8();
    for (int i = 0; i < pairs; ++i) {
        sqlite3_bind_text(bare.append, 1, item.constData(), item.size(), SQLITE_TRANSIENT);
        const bool appended = sqlite3_step(bare.append) == SQLITE_DONE;
        sqlite3_reset(bare.append);
        const sqlite3_int64 id = sqlite3_last_insert_rowid(bare.db);
        sqlite3_bind_int64(bare.remove, 1, id);
        const bool removed = sqlite3_step(bare.remove) == SQLITE_DONE;
        sqlite3_reset(bare.remove);
        if (!appended || !removed)
            return false;
    }
    return true;
}

bool callPairs(BR2DBSqlite &db, int pairs)
{
    const QJsonObject item{{QStringLiteral("item"), kItem}};
    for (int i = 0; i < pairs; ++i) {
        int changes = 0;
        int lastId = 0;
        if (!db.call(changes, lastId, QStringLiteral("queue_append"), item))
            return false;
        if (!db.call(QStringLiteral("queue_remove"), {{QStringLiteral("quuno"), lastId}}))
            return false;
    }
    return true;
}

bool threadedPairs(BR2DBSqlite &db, int pairs, int threads)
{
    std::vector<std::thread> workers;
    std::vector<char> ok(threads, 0);
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] { ok[t] = callPairs(db, pairs / threads); });
    for (std::thread &w : workers)
        w.join();
    return std::all_of(ok.begin(), ok.end(), [](char c) { return c != 0; });
}

template<typename F>
double pairsPerSecond(int pairs, F run)
{
    QElapsedTimer timer;
    timer.start();
    if (!run())
        return -1;
    return pairs * 1e9 / double(timer.nsecsElapsed());
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Q_INIT_RESOURCE(k8thumbgen);
    const int pairs = argc > 1 ? std::max(4, QByteArray(argv[1]).toInt()) : 1000;
    const int rounds = 7; // the disk is shared: interleaved rounds and the median tame the noise
    QTemporaryDir dir(argc > 2 ? QString::fromLocal8Bit(argv[2]) + QStringLiteral("/bench_db-XXXXXX")
                               : QDir::tempPath() + QStringLiteral("/bench_db-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder: %s\n", qPrintable(dir.errorString()));
        return 1;
    }
    const QString path = dir.filePath(QStringLiteral("queue.db"));

    BR2DBSqlite db;
    db.loadSqlCreator(QStringLiteral(":/k8thumbgen/creator.sql"));
    if (!db.open(path) || !db.loadSqlEngine(QStringLiteral(":/k8thumbgen/engine.sql")) || !db.setJournalModeWal()) {
        std::fprintf(stderr, "cannot set up %s: %s\n", qPrintable(path), qPrintable(db.lastError()));
        return 1;
    }
    Bare bare;
    if (!openBare(bare, path, db.sqlEngine())) {
        std::fprintf(stderr, "cannot prepare: %s\n", sqlite3_errmsg(bare.db));
        return 1;
    }

    QList<QJsonObject> rows;
    int changes = 0;
    int lastId = 0;
    db.exec(changes, lastId, rows, QStringLiteral("PRAGMA journal_mode;"), {}, {});
    db.exec(changes, lastId, rows, QStringLiteral("PRAGMA synchronous;"), {}, {});
    std::printf("database   %s\n", qPrintable(path));
    std::printf("journal    %s, synchronous %d (2 = FULL), SQLite %s\n",
                qPrintable(rows.value(0).value("journal_mode").toString()),
                rows.value(1).value("synchronous").toInt(), sqlite3_libversion());
    std::printf("pairs/run  %d, %d rounds of (a) (b) (c) interleaved, median shown\n", pairs, rounds);

    // Warm the file and the page cache before timing.
    barePairs(bare, std::min(pairs, 200));
    std::vector<double> a, b, c;
    for (int round = 0; round < rounds; ++round) {
        a.push_back(pairsPerSecond(pairs, [&] { return barePairs(bare, pairs); }));
        b.push_back(pairsPerSecond(pairs, [&] { return callPairs(db, pairs); }));
        c.push_back(pairsPerSecond(pairs, [&] { return threadedPairs(db, pairs, 4); }));
    }
    for (int round = 0; round < rounds; ++round)
        std::printf("round %d    a %6.0f  b %6.0f  c %6.0f pairs/s\n", round + 1, a[round], b[round], c[round]);
    const double ma = median(a), mb = median(b), mc = median(c);
    if (ma <= 0 || mb <= 0 || mc <= 0) {
        std::fprintf(stderr, "a run failed: %s\n", qPrintable(db.lastError()));
        return 1;
    }
    std::printf("(a) bare C API            %8.0f pairs/s %8.0f commits/s\n", ma, 2 * ma);
    std::printf("(b) call, 1 thread        %8.0f pairs/s %8.0f commits/s\n", mb, 2 * mb);
    std::printf("(c) call, 4 threads       %8.0f pairs/s %8.0f commits/s\n", mc, 2 * mc);
    std::printf("b/a %.3f   c/b %.3f\n", mb / ma, mc / mb);

    sqlite3_finalize(bare.append);
    sqlite3_finalize(bare.remove);
    sqlite3_close(bare.db);
    return 0;
}
