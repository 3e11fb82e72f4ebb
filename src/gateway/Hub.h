#pragma once
// The hub as a whole: the tag table, the sources that fill its live tags, the tag file it
// follows and the server that answers clients. The executable only reads its options and
// starts one of these; tests run it in-process the same way.

#include "gateway/HubServer.h"
#include "gateway/TagFile.h"
#include "gateway/TagTable.h"

#include <QObject>
#include <memory>

namespace gateway {

class LiveSources;
class TagFileFollower;

struct HubOptions {
    ServerOptions server;
    quint64 seed = 1; // of the simulation
};

class Hub : public QObject {
    Q_OBJECT
public:
    explicit Hub(HubOptions options, QObject* parent = nullptr);
    ~Hub() override;

    // Publishes simulated tags.
    void UseTags(std::vector<TagDef> tags);
    // Publishes the tags of a tag file and follows its changes; false with `error` (one line
    // per fault) when it cannot be read or is faulty.
    bool UseTagFile(const QString& path, QString* error);
    // Reads the tag file again now (the user asked for it); nothing without a tag file.
    void ReloadTagFile();

    // Starts answering clients; false with `error` when it cannot listen.
    bool Start(QString* error);

    HubServer& Server() { return *server_; }
    const TagTable& Table() const { return table_; }
    TagFileFollower* Follower() { return follower_; }

private:
    void Apply(HubConfig config, bool initial);

    HubOptions options_;
    TagTable table_;
    LiveSources* sources_ = nullptr;
    TagFileFollower* follower_ = nullptr;
    HubServer* server_ = nullptr;
};

} // namespace gateway
