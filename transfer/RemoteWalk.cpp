#include "transfer/RemoteWalk.h"

#include "transfer/SafeNames.h"
#include "transfer/sftp/SftpSession.h"

#include <QHash>

namespace {
// Folder handles one walk keeps open at once: plenty for a level, polite to the server.
constexpr int maxOpenFolders = 64;

// The next reply to one of the requests in sent, taken out of it with what it answers; replies to
// other requests (ones given up on) are passed over. False once the channel failed.
template <typename Request>
bool nextAnswer(SftpChannel &channel, QHash<quint32, Request> &sent, SftpChannel::Reply &reply,
                Request &request) {
    while (channel.next(reply)) {
        const auto found = sent.constFind(reply.id);
        if (found == sent.cend())
            continue;
        request = *found;
        sent.erase(found);
        return true;
    }
    return false;
}
} // namespace

RemoteWalk::RemoteWalk(SftpSession &session) : session(session) {}

void RemoteWalk::setFailure(const QString &text) {
    if (failure.isEmpty())
        failure = text;
}

bool RemoteWalk::inside(const QByteArray &canonical) const {
    const QByteArray &root = componentRoot();
    return !canonical.isEmpty() && !root.isEmpty() && (canonical == root || canonical.startsWith(root + '/'));
}

qint64 RemoteWalk::filesSize(int folder) const {
    qint64 sum = 0;
    for (const int child : nodes.at(folder).children) {
        const Node &entry = nodes.at(child);
        if (entry.kind == File)
            sum += entry.listedSize;
        else if (entry.kind == Folder)
            sum += filesSize(child);
    }
    return sum;
}

bool RemoteWalk::listAll(const QVector<QByteArray> &paths, QVector<Listing> &out) {
    SftpChannel &channel = *session.sftp;
    out = QVector<Listing>(paths.size());
    struct Sent {
        int folder;
        bool opening;
    };
    QHash<quint32, Sent> sent;
    QVector<QByteArray> handles(paths.size());
    int nextFolder = 0;
    int open = 0;
    auto startMore = [&] {
        while (nextFolder < paths.size() && open < maxOpenFolders) {
            const quint32 id = channel.opendir(paths.at(nextFolder));
            if (!id)
                return;
            sent.insert(id, {nextFolder++, true});
            ++open;
        }
    };
    auto done = [&](int folder) {
        if (!handles.at(folder).isEmpty())
            channel.forget(channel.close(handles.at(folder))); // not waited for
        --open;
        startMore();
    };
    startMore();
    SftpChannel::Reply reply;
    Sent request;
    while (!sent.isEmpty() && nextAnswer(channel, sent, reply, request)) {
        Listing &listing = out[request.folder];
        if (request.opening && reply.type == SftpChannel::Handle) {
            handles[request.folder] = reply.handle;
            listing.opened = true;
        } else if (!request.opening && reply.type == SftpChannel::Name) {
            // An empty answer would let a listing go on for ever without passing the cap.
            if (reply.entries.isEmpty() ||
                listing.entries.size() + reply.entries.size() > SftpChannel::maxListing) {
                listing.error = reply.entries.isEmpty()
                                    ? QStringLiteral("an empty answer to READDIR")
                                    : QString("more than %1 entries").arg(SftpChannel::maxListing);
                done(request.folder);
                continue;
            }
            listing.entries += reply.entries;
        } else {
            if (reply.isEof() && !request.opening)
                listing.complete = true;
            else
                listing.error = reply.errorText();
            done(request.folder);
            continue;
        }
        const quint32 id = channel.readdir(handles.at(request.folder));
        if (id)
            sent.insert(id, {request.folder, false});
    }
    for (auto it = sent.cbegin(); it != sent.cend(); ++it)
        channel.forget(it.key());
    channel.flush();
    for (Listing &listing : out) {
        if (!listing.complete) {
            listing.entries.clear(); // half a listing is never used
            if (listing.error.isEmpty())
                listing.error = channel.failed() ? channel.errorText() : QStringLiteral("no answer");
        }
    }
    return !channel.failed();
}

bool RemoteWalk::resolve(const QVector<int> &pending) {
    SftpChannel &channel = *session.sftp;
    struct Sent {
        int node;
        bool realpath;
    };
    QHash<quint32, Sent> sent;
    QVector<bool> statFound(pending.size());
    QHash<int, int> slot;
    for (int i = 0; i < pending.size(); ++i) {
        const Node &entry = nodes.at(pending.at(i));
        slot.insert(pending.at(i), i);
        if (entry.isLink)
            sent.insert(channel.realpath(entry.path), {pending.at(i), true});
        sent.insert(channel.stat(entry.path), {pending.at(i), false});
    }
    sent.remove(0);
    SftpChannel::Reply reply;
    Sent request;
    while (!sent.isEmpty() && nextAnswer(channel, sent, reply, request)) {
        Node &entry = nodes[request.node];
        if (request.realpath) {
            if (reply.type == SftpChannel::Name && !reply.entries.isEmpty())
                entry.canonical = reply.entries.first().name;
        } else if (reply.type == SftpChannel::Attrs) {
            entry.attributes = reply.attributes;
            statFound[slot.value(request.node)] = true;
        }
    }
    if (channel.failed())
        return false;
    for (int i = 0; i < pending.size(); ++i) {
        Node &entry = nodes[pending.at(i)];
        if (entry.isLink && !inside(entry.canonical))
            entry.kind = LinkOutside;
        else if (statFound.at(i) && entry.attributes.isFolder())
            entry.kind = Folder;
        else
            entry.kind = File; // what cannot be told apart is fetched as a file, and fails as one
    }
    return true;
}

bool RemoteWalk::walk(const QByteArray &folder, const std::function<bool()> &stop) {
    nodes.clear();
    missingRoot = false;
    failure.clear();
    Node root;
    root.path = folder;
    root.kind = Folder;
    root.canonical = session.sftp->canonicalPath(folder);
    nodes.append(root);
    if (root.canonical.isEmpty()) {
        if (session.sftp->failed())
            setFailure(session.sftp->errorText());
        else
            missingRoot = true;
        return false;
    }

    QVector<int> level{0};
    while (!level.isEmpty()) {
        if (stop && stop()) {
            setFailure(QStringLiteral("cancelled"));
            return false;
        }
        // Folders reached under several names (links) are listed once.
        QVector<QByteArray> paths;
        QHash<QByteArray, int> byCanonical;
        for (const int index : level) {
            const QByteArray &canonical = nodes.at(index).canonical;
            if (!byCanonical.contains(canonical)) {
                byCanonical.insert(canonical, int(paths.size()));
                paths.append(nodes.at(index).path);
            }
        }
        QVector<Listing> listings;
        const bool alive = listAll(paths, listings);
        if (alive && level.first() == 0 && !listings.first().opened) {
            missingRoot = true; // the server has no such folder, or will not open it
            setFailure(QString::fromUtf8(folder) + " (" + listings.first().error + ")");
            return false;
        }
        QVector<int> unresolved;
        QVector<int> candidates; // folders of the next level, before the loop and depth tests
        for (const int index : level) {
            const Listing &listing = listings.at(byCanonical.value(nodes.at(index).canonical));
            if (!listing.complete) {
                setFailure(QString::fromUtf8(nodes.at(index).path) + " (" + listing.error + ")");
                continue;
            }
            if (nodes.size() + listing.entries.size() > maxEntries) {
                setFailure(QString::fromUtf8(nodes.at(index).path) +
                           QString(" (more than %1 entries in all)").arg(maxEntries));
                return false;
            }
            for (const SftpChannel::Entry &entry : listing.entries) {
                Node child;
                child.name = entry.name;
                child.path = nodes.at(index).path + '/' + entry.name;
                child.depth = nodes.at(index).depth + 1;
                child.parent = index;
                child.attributes = entry.attributes;
                child.listedSize = entry.attributes.size;
                child.listedRegular = entry.attributes.isRegular();
                child.isLink = entry.attributes.isLink();
                child.unsafeReason = unsafeNameReason(entry.name);
                const int childIndex = int(nodes.size());
                if (isSkippedEntry(entry.name)) {
                    child.kind = Skipped;
                } else if (!child.unsafeReason.isEmpty()) {
                    child.kind = UnsafeName;
                } else if (child.isLink || !entry.attributes.hasPermissions) {
                    unresolved.append(childIndex);
                } else if (entry.attributes.isFolder()) {
                    child.kind = Folder;
                    child.canonical = nodes.at(index).canonical + '/' + entry.name;
                    candidates.append(childIndex);
                } else {
                    child.kind = File;
                }
                nodes.append(child);
                nodes[index].children.append(childIndex);
            }
        }
        if (!alive || (!unresolved.isEmpty() && !resolve(unresolved))) {
            setFailure(session.sftp->errorText());
            return false;
        }
        for (const int index : std::as_const(unresolved)) {
            Node &child = nodes[index];
            if (child.kind == Folder) {
                if (!child.isLink)
                    child.canonical = nodes.at(child.parent).canonical + '/' + child.name;
                candidates.append(index);
            }
        }
        level.clear();
        for (const int index : std::as_const(candidates)) {
            Node &child = nodes[index];
            const QByteArray &parentCanonical = nodes.at(child.parent).canonical;
            if (parentCanonical == child.canonical || parentCanonical.startsWith(child.canonical + '/'))
                child.kind = Loop;
            else if (!inside(child.canonical))
                child.kind = LinkOutside;
            else if (child.depth > maxDepth)
                child.kind = TooDeep;
            else
                level.append(index);
        }
    }
    return failure.isEmpty();
}
