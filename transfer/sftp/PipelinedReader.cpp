#include "transfer/sftp/PipelinedReader.h"

#include <libssh/libssh.h>

#include <cstdlib>
#include <cstring>

namespace {
// A reply shorter than this is taken as the end of the data rather than as the server's cap.
constexpr quint32 smallestRequest = 4096;

// The asynchronous read calls that libssh 0.10 (Linux) and 0.11 (Windows) share. 0.11 marks them
// deprecated in favour of its sftp_aio calls, which 0.10 lacks; both versions still behave alike.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
int beginAsyncRead(sftp_file file, quint32 length) {
    return sftp_async_read_begin(file, length);
}
int finishAsyncRead(sftp_file file, void *data, quint32 length, quint32 id) {
    return sftp_async_read(file, data, length, id);
}
#pragma GCC diagnostic pop

quint32 bigEndian32(const unsigned char *bytes) {
    return quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 | quint32(bytes[3]);
}

// libssh 0.10's sftp_async_read always waits for one more packet before it looks in its queue, so a
// reply that already arrived (while another one was awaited) would block it for ever. Such a reply is
// taken out of the queue here instead: the result is what sftp_async_read would have returned.
bool takeQueuedReply(sftp_session sftp, quint32 id, char *data, quint32 length, int &result) {
    sftp_request_queue previous = nullptr;
    sftp_request_queue node = sftp->queue;
    while (node != nullptr && node->message->id != id) {
        previous = node;
        node = node->next;
    }
    if (node == nullptr)
        return false;
    if (previous != nullptr)
        previous->next = node->next;
    else
        sftp->queue = node->next;
    sftp_message message = node->message;
    std::free(node);
    const auto *payload = static_cast<const unsigned char *>(ssh_buffer_get(message->payload));
    const quint32 available = ssh_buffer_get_len(message->payload);
    result = SSH_ERROR;
    if (message->packet_type == SSH_FXP_DATA && available >= 4) {
        const quint32 size = bigEndian32(payload);
        if (size <= available - 4 && size <= length) {
            std::memcpy(data, payload + 4, size);
            result = int(size);
        }
    } else if (message->packet_type == SSH_FXP_STATUS && available >= 4) {
        result = bigEndian32(payload) == SSH_FX_EOF ? 0 : SSH_ERROR;
    }
    ssh_buffer_free(message->payload);
    std::free(message);
    return true;
}
} // namespace

PipelinedReader::PipelinedReader(const SftpSession &session, sftp_file file, qint64 begin, qint64 end,
                                 quint32 requestSize, int window)
    : session(session), file(file), nextRequestOffset(begin), end(end),
      requestLength(qMax(requestSize, smallestRequest)), window(qMax(window, 1)), handedOver(begin) {
    inFlight.reserve(this->window + 1);
}

PipelinedReader::~PipelinedReader() {
    drain();
}

void PipelinedReader::setExpectedSize(qint64 bytes) {
    expectedSize = bytes;
}

qint64 PipelinedReader::read(char *buffer, qint64 maxSize) {
    if (error != 0)
        return error;
    qint64 copied = 0;
    while (copied < maxSize) {
        const qint64 available = reply.size() - replyUsed;
        if (available > 0) {
            const qint64 n = qMin(available, maxSize - copied);
            std::memcpy(buffer + copied, reply.constData() + replyUsed, size_t(n));
            replyUsed += n;
            copied += n;
            handedOver += n;
            continue;
        }
        if (endSeen)
            break;
        if (!fillWindow() || (!inFlight.isEmpty() && !receiveNext())) {
            // What arrived before the failure is still handed over; the error follows on the next call.
            if (error == 0)
                error = SSH_ERROR;
            return copied > 0 ? copied : error;
        }
        if (inFlight.isEmpty() && reply.size() == replyUsed)
            endSeen = endSeen || (end >= 0 && nextRequestOffset >= end);
    }
    return copied;
}

bool PipelinedReader::fillWindow() {
    while (!endSeen && inFlight.size() < window && (end < 0 || nextRequestOffset < end)) {
        // Past the expected end one request is enough to hear about the end of the file.
        if (expectedSize >= 0 && nextRequestOffset >= expectedSize && !inFlight.isEmpty() &&
            inFlight.last().offset >= expectedSize)
            break;
        quint32 length = requestLength;
        if (end >= 0)
            length = quint32(qMin<qint64>(length, end - nextRequestOffset));
        // Stop the last request at the expected end: the one after it then hears of the end of the file
        // in the same round trip, instead of a short reply and a second request for its tail.
        if (expectedSize > nextRequestOffset)
            length = quint32(qMin<qint64>(length, expectedSize - nextRequestOffset));
        if (!sendRequest(nextRequestOffset, length, false))
            return false;
        nextRequestOffset += length;
    }
    return true;
}

bool PipelinedReader::sendRequest(qint64 offset, quint32 length, bool urgent) {
    // libssh reads at the handle's own offset, which its asynchronous reads leave wrong: set it each time.
    if (sftp_seek64(file, quint64(offset)) < 0)
        return false;
    const int id = beginAsyncRead(file, length);
    if (id < 0)
        return false;
    const Request request{id, offset, length, urgent};
    if (urgent)
        inFlight.prepend(request);
    else
        inFlight.append(request);
    return true;
}

bool PipelinedReader::receiveNext() {
    widenChannelWindow();
    const Request request = inFlight.takeFirst();
    // The seek also clears libssh's end-of-file flag, which would make it skip this reply.
    sftp_seek64(file, quint64(request.offset));
    reply.resize(request.length);
    int n;
    {
        PendingRequest pending(session);
        if (!takeQueuedReply(file->sftp, quint32(request.id), reply.data(), request.length, n))
            n = finishAsyncRead(file, reply.data(), request.length, request.id);
    }
    replyUsed = 0;
    if (n < 0) {
        reply.clear();
        error = n;
        return false;
    }
    if (request.offset != handedOver || quint32(n) > request.length) {
        // Never hand over bytes whose place in the file is not the next one.
        reply.clear();
        error = SSH_ERROR;
        return false;
    }
    reply.resize(n);
    replyOffset = request.offset;
    if (n == 0) {
        endSeen = true;
        drain();
        return true;
    }
    if (expectedSize >= 0 && request.offset + n > expectedSize)
        expectedSize = -1; // the file is longer than announced: read on at full speed
    if (request.refill)
        ++shortCount; // the tail of a short reply came: the server caps its replies, the file goes on
    if (quint32(n) < request.length) {
        if (quint32(n) >= smallestRequest)
            requestLength = qMin(requestLength, quint32(n));
        return sendRequest(request.offset + n, request.length - quint32(n), true);
    }
    return true;
}

void PipelinedReader::widenChannelWindow() {
    if (channelWindow == 0)
        return;
    // A read of the (always empty) error stream with a large count makes libssh announce that much
    // window to the server; the timeout 0 returns at once. Nothing is written into the buffer, so its
    // pages never become resident; one per connection, so a reader per small file costs no allocation
    // (not thread_local: mingw-w64's static runtime crashes freeing such objects at thread exit).
    QByteArray &scratch = session.windowScratch;
    if (scratch.size() < qint64(channelWindow))
        scratch.resize(channelWindow);
    ssh_channel_read_timeout(file->sftp->channel, scratch.data(), channelWindow, 1, 0);
}

void PipelinedReader::drain() {
    // Every request sent must be answered and collected, or libssh keeps its reply forever.
    QByteArray scratch;
    while (!inFlight.isEmpty()) {
        const Request request = inFlight.takeFirst();
        scratch.resize(request.length);
        sftp_seek64(file, quint64(request.offset));
        PendingRequest pending(session);
        int n;
        if (!takeQueuedReply(file->sftp, quint32(request.id), scratch.data(), request.length, n))
            n = finishAsyncRead(file, scratch.data(), request.length, request.id);
        if (n < 0 && ssh_is_connected(file->sftp->session) == 0)
            inFlight.clear(); // the connection is gone: nothing more will arrive
    }
}
