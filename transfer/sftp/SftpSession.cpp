#include "transfer/sftp/SftpSession.h"

#include "transfer/sftp/SftpChannel.h"

#include "core/CEncryptedSettings.h"
#include "core/Log.h"

#include <QElapsedTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace {
constexpr int defaultConnectTimeoutMs = 30000;
constexpr int defaultIdleTimeoutMs = 60000;
std::atomic<int> connectTimeoutMs{defaultConnectTimeoutMs};
std::atomic<int> idleTimeoutMs{defaultIdleTimeoutMs};

QString pinnedKeyName() {
    return QStringLiteral("SFTP/HostKey");
}

QString lastError(ssh_session ssh) {
    return QString::fromUtf8(ssh_get_error(ssh));
}

// "SHA256:" and unpadded base64, the form OpenSSH prints; empty when the key cannot be read.
QString serverKeyFingerprint(ssh_session ssh) {
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(ssh, &key) != SSH_OK)
        return {};
    unsigned char *hash = nullptr;
    size_t length = 0;
    QString text;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) == 0) {
        char *fingerprint = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
        text = QString::fromUtf8(fingerprint);
        ssh_string_free_char(fingerprint);
        ssh_clean_pubkey_hash(&hash);
    }
    ssh_key_free(key);
    return text;
}

} // namespace

// Watches one connection from a thread of its own: libssh 0.10 waits without limit for SFTP
// answers, so when a request stays unanswered too long the socket is shut down under it.
class SessionWatchdog {
public:
    SessionWatchdog(socket_t socket, int idleMs) : socket(socket), idleMs(idleMs) {
        thread = std::thread([this] { run(); });
    }
    ~SessionWatchdog() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            stopping = true;
        }
        wake.notify_all();
        thread.join();
    }
    void begin() {
        std::lock_guard<std::mutex> guard(mutex);
        ++outstanding;
        lastAnswer = std::chrono::steady_clock::now();
        wake.notify_all();
    }
    void end() {
        std::lock_guard<std::mutex> guard(mutex);
        --outstanding;
        lastAnswer = std::chrono::steady_clock::now();
    }
    bool timedOut() const { return fired.load(); }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        const auto idle = std::chrono::milliseconds(idleMs);
        while (!stopping) {
            if (outstanding == 0) {
                wake.wait(lock);
                continue;
            }
            const auto deadline = lastAnswer + idle;
            if (std::chrono::steady_clock::now() < deadline) {
                wake.wait_until(lock, deadline);
                continue;
            }
            fired = true;
            Write_Log(QString("Error server timeout - no answer for %1 s while a request was outstanding")
                          .arg(idleMs / 1000.0));
#ifdef _WIN32
            shutdown(socket, SD_BOTH);
#else
            shutdown(socket, SHUT_RDWR);
#endif
            return;
        }
    }

    socket_t socket;
    int idleMs;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    int outstanding = 0;
    std::chrono::steady_clock::time_point lastAnswer;
    std::atomic<bool> fired{false};
};

static void releaseSession(SftpSession &session) {
    delete session.sftp;
    session.sftp = nullptr;
    delete session.watchdog;
    session.watchdog = nullptr;
    if (session.ssh) {
        ssh_disconnect(session.ssh);
        ssh_free(session.ssh);
    }
    session.ssh = nullptr;
}

PendingRequest::PendingRequest(const SftpSession &session) : PendingRequest(session.watchdog) {}

PendingRequest::PendingRequest(SessionWatchdog *watchdog) : watchdog(watchdog) {
    if (watchdog)
        watchdog->begin();
}

PendingRequest::~PendingRequest() {
    if (watchdog)
        watchdog->end();
}

bool sessionTimedOut(const SftpSession &session) {
    return sessionTimedOut(session.watchdog);
}

bool sessionTimedOut(const SessionWatchdog *watchdog) {
    return watchdog && watchdog->timedOut();
}

bool sessionLost(const SftpSession &session) {
    return sessionTimedOut(session) || !session.ssh || !ssh_is_connected(session.ssh) ||
           (session.sftp && session.sftp->failed());
}

void setSessionTimeoutsForTesting(int connectMs, int idleMs) {
    connectTimeoutMs = connectMs > 0 ? connectMs : defaultConnectTimeoutMs;
    idleTimeoutMs = idleMs > 0 ? idleMs : defaultIdleTimeoutMs;
}

bool openSftpSession(SftpSession &session, SessionUser user) {
    CEncryptedSettings *settings = CEncryptedSettings::getInstance(QString(), 0);
    session.ssh = ssh_new();
    session.sftp = nullptr;
    session.watchdog = nullptr;
    if (!session.ssh) {
        Write_Log("Error ssh conect - out of memory");
        return false;
    }

    int port = settings->value("SFTP/port").toInt();
    const QByteArray host = settings->value("SFTP/IP").toString().toUtf8();
    ssh_options_set(session.ssh, SSH_OPTIONS_HOST, host.constData());
    ssh_options_set(session.ssh, SSH_OPTIONS_PORT, &port);
    // Without TCP_NODELAY each request waits ~40 ms on delayed acknowledgements.
    int noDelay = 1;
    ssh_options_set(session.ssh, SSH_OPTIONS_NODELAY, &noDelay);
    // The machine's ssh configuration files must not change how the program connects.
    int processConfig = 0;
    ssh_options_set(session.ssh, SSH_OPTIONS_PROCESS_CONFIG, &processConfig);
    const int connectMs = connectTimeoutMs;
    long timeoutSeconds = connectMs / 1000;
    long timeoutMicroseconds = (connectMs % 1000) * 1000L;
    ssh_options_set(session.ssh, SSH_OPTIONS_TIMEOUT, &timeoutSeconds);
    ssh_options_set(session.ssh, SSH_OPTIONS_TIMEOUT_USEC, &timeoutMicroseconds);

    QElapsedTimer connecting;
    connecting.start();
    if (ssh_connect(session.ssh) != SSH_OK) {
        QString detail = lastError(session.ssh);
        if (connecting.elapsed() >= connectMs)
            detail += QString(" (no connection within %1 s)").arg(connectMs / 1000.0);
        Write_Log("Error ssh conect - " + detail);
        releaseSession(session);
        return false;
    }
    session.watchdog = new SessionWatchdog(ssh_get_fd(session.ssh), idleTimeoutMs);

    // The server must present the key pinned on the first connection, before it sees the password.
    const QString serverKey = serverKeyFingerprint(session.ssh);
    const QString pinnedKey = settings->value(pinnedKeyName()).toString();
    if (serverKey.isEmpty() || (!pinnedKey.isEmpty() && serverKey != pinnedKey)) {
        Write_Log("Error host key - the server presents " + (serverKey.isEmpty() ? "no key" : serverKey) +
                  " but the pinned key is " + pinnedKey);
        releaseSession(session);
        return false;
    }

    const QByteArray password = settings->value("SFTP/Pswd").toString().toUtf8();
    const QByteArray login = settings->value("SFTP/Login").toString().toUtf8();
    int authResult;
    {
        PendingRequest pending(session);
        authResult = ssh_userauth_password(session.ssh, login.constData(), password.constData());
    }
    if (authResult != SSH_AUTH_SUCCESS) {
        const char *prefix = user == SessionUser::Checker ? "Error auth conect - " : "Error auth - ";
        Write_Log(prefix + lastError(session.ssh));
        releaseSession(session);
        return false;
    }

    session.sftp = new SftpChannel(session.ssh, session.watchdog);
    if (!session.sftp->start()) {
        Write_Log("Error sftp conect - " + session.sftp->errorText());
        releaseSession(session);
        return false;
    }

    if (pinnedKey.isEmpty())
        settings->setValue(pinnedKeyName(), serverKey);
    return true;
}

void closeSftpSession(SftpSession &session) {
    releaseSession(session);
}

bool isSkippedEntry(const QByteArray &name) {
    return (name.size() > 0 && name.at(0) == '.') || (name.size() > 1 && name.at(1) == '.');
}
