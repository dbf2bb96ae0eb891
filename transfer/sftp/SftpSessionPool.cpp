#include "transfer/sftp/SftpSessionPool.h"

#include <QMutexLocker>
#include <QThread>

SftpSessionPool::SftpSessionPool(SftpSession &primary, Opener opener, int sessionLimit)
    : primarySession(primary), opener(std::move(opener)),
      helperLimit(qBound(0, sessionLimit, maxSessions) - 1) {}

SftpSessionPool::~SftpSessionPool() {
    {
        QMutexLocker locker(&mutex);
        stopping = true;
        for (const auto &job : queue)
            job->state = PoolJob::Done;
        queue.clear();
        urgentCount = 0;
        changed.wakeAll();
    }
    for (Helper *helper : helpers) {
        helper->thread->wait();
        delete helper->thread;
        closeSftpSession(helper->session);
        delete helper;
    }
}

void SftpSessionPool::post(const std::shared_ptr<PoolJob> &job, bool urgent) {
    QMutexLocker locker(&mutex);
    job->state = PoolJob::Queued;
    if (urgent)
        queue.insert(urgentCount++, job);
    else
        queue.append(job);
    if (urgent || queue.size() >= 2)
        startHelperIfUseful();
    changed.wakeAll();
}

void SftpSessionPool::startHelperIfUseful() {
    if (stopping || openFailed || helpers.size() >= helperLimit || idleHelpers >= queue.size())
        return;
    auto *helper = new Helper;
    helpers.append(helper);
    ++idleHelpers; // counted idle while it connects, so a burst of jobs does not start more than needed
    helper->thread = QThread::create([this, helper] { helperLoop(helper); });
    helper->thread->start();
}

void SftpSessionPool::helperLoop(Helper *helper) {
    const bool open = opener(helper->session);
    QMutexLocker locker(&mutex);
    helper->open = open;
    if (!open) {
        // The server refused one more session: make do with those we have, and try no further.
        openFailed = true;
        --idleHelpers;
        closeSftpSession(helper->session);
        changed.wakeAll();
        return;
    }
    for (;;) {
        while (!stopping && queue.isEmpty())
            changed.wait(&mutex);
        if (stopping)
            break;
        std::shared_ptr<PoolJob> job = queue.takeFirst();
        if (urgentCount > 0)
            --urgentCount;
        job->state = PoolJob::Running;
        --idleHelpers;
        locker.unlock();
        job->run(helper->session);
        locker.relock();
        job->state = PoolJob::Done;
        ++idleHelpers;
        changed.wakeAll();
    }
    --idleHelpers;
}

bool SftpSessionPool::unqueue(const std::shared_ptr<PoolJob> &job) {
    if (job->state != PoolJob::Queued)
        return false;
    const int index = queue.indexOf(job);
    queue.removeAt(index);
    if (index < urgentCount)
        --urgentCount;
    return true;
}

bool SftpSessionPool::runHereIfQueued(const std::shared_ptr<PoolJob> &job) {
    {
        QMutexLocker locker(&mutex);
        if (!unqueue(job))
            return false;
        job->state = PoolJob::Running;
    }
    job->run(primarySession);
    finish(job);
    return true;
}

bool SftpSessionPool::withdraw(const std::shared_ptr<PoolJob> &job) {
    QMutexLocker locker(&mutex);
    if (!unqueue(job))
        return false;
    job->state = PoolJob::Done;
    return true;
}

bool SftpSessionPool::runNextHere() {
    std::shared_ptr<PoolJob> job;
    {
        QMutexLocker locker(&mutex);
        if (queue.isEmpty())
            return false;
        job = queue.takeFirst();
        if (urgentCount > 0)
            --urgentCount;
        job->state = PoolJob::Running;
    }
    job->run(primarySession);
    finish(job);
    return true;
}

void SftpSessionPool::finish(const std::shared_ptr<PoolJob> &job) {
    QMutexLocker locker(&mutex);
    job->state = PoolJob::Done;
    changed.wakeAll();
}

void SftpSessionPool::wait(const std::shared_ptr<PoolJob> &job) {
    if (runHereIfQueued(job))
        return;
    QMutexLocker locker(&mutex);
    while (job->state == PoolJob::Running)
        changed.wait(&mutex);
}

bool SftpSessionPool::isDone(const std::shared_ptr<PoolJob> &job) {
    QMutexLocker locker(&mutex);
    return job->state == PoolJob::Done;
}

int SftpSessionPool::openHelpers() {
    QMutexLocker locker(&mutex);
    int count = 0;
    for (const Helper *helper : helpers)
        count += helper->open ? 1 : 0;
    return count;
}
