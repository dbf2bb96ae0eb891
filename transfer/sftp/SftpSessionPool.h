#pragma once
// Up to four SSH sessions to one server for one run: the caller's own and helpers opened on demand.
//
// The caller keeps using its own session on its own thread (walking folders, writing files, emitting
// signals); each helper session has a thread of its own that runs queued jobs. Helpers are opened only
// once two or more jobs wait, so a run that fetches a single small file never opens a second session.
// A helper that cannot connect simply does not help: wait() runs a job that nobody has started on the
// caller's session, so every job finishes even with no helper at all.
//
// Wiring: a worker that owns `SftpSession session` makes one pool per run, after openSftpSession
// succeeded, and destroys it before closing its own session:
//     SftpSessionPool pool(session, [](SftpSession &s) { return openSftpSession(s, SessionUser::Downloader);
//     });

#include "transfer/sftp/SftpSession.h"

#include <QMutex>
#include <QVector>
#include <QWaitCondition>

#include <functional>
#include <memory>

class QThread;

// One piece of work for some session of the pool.
class PoolJob {
public:
    virtual ~PoolJob() = default;
    virtual void run(SftpSession &session) = 0;

private:
    friend class SftpSessionPool;
    enum State { Idle, Queued, Running, Done };
    State state = Idle;
};

class SftpSessionPool {
public:
    static constexpr int maxSessions = 4; // a polite client: never more to one server
    using Opener = std::function<bool(SftpSession &)>;

    SftpSessionPool(SftpSession &primary, Opener opener, int sessionLimit = maxSessions);
    ~SftpSessionPool(); // waits for running jobs, drops queued ones, closes the helper sessions

    SftpSessionPool(const SftpSessionPool &) = delete;
    SftpSessionPool &operator=(const SftpSessionPool &) = delete;

    SftpSession &primary() { return primarySession; }

    // Queues a job for the helpers; urgent jobs go before every fetch-ahead job already waiting.
    void post(const std::shared_ptr<PoolJob> &job, bool urgent = false);
    // Returns when the job is done: runs it here on the primary session if no helper has taken it yet.
    void wait(const std::shared_ptr<PoolJob> &job);
    // Runs the job here on the primary session if it is still queued; true when it did.
    bool runHereIfQueued(const std::shared_ptr<PoolJob> &job);
    bool isDone(const std::shared_ptr<PoolJob> &job);
    // Takes the job out of the queue if no session has started it; true when it did.
    bool withdraw(const std::shared_ptr<PoolJob> &job);
    // Runs the first queued job here on the primary session; false when none waits.
    bool runNextHere();

    // Helper sessions open now (for the benchmark's report).
    int openHelpers();

private:
    struct Helper {
        SftpSession session;
        QThread *thread = nullptr;
        bool open = false;
    };

    void startHelperIfUseful();
    void helperLoop(Helper *helper);
    void finish(const std::shared_ptr<PoolJob> &job);
    // Takes a job that no session has started out of the queue; false when it is not queued. The
    // caller holds the mutex.
    bool unqueue(const std::shared_ptr<PoolJob> &job);

    SftpSession &primarySession;
    Opener opener;
    int helperLimit;
    QMutex mutex;
    QWaitCondition changed;
    QVector<std::shared_ptr<PoolJob>> queue;
    int urgentCount = 0; // the first urgentCount entries of queue are urgent
    QVector<Helper *> helpers;
    int idleHelpers = 0;
    bool openFailed = false;
    bool stopping = false;
};
