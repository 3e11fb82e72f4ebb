#include "gateway/Hub.h"

#include "gateway/LiveSources.h"
#include "gateway/TagFileFollower.h"

namespace gateway {

Hub::Hub(HubOptions options, QObject* parent) : QObject(parent), options_(std::move(options)) {
    server_ = new HubServer(
        options_.server, [this](const QByteArray& command) { return table_.Answer(command); },
        this);
}

Hub::~Hub() {
    // Clients go first, then the sources the table reads from.
    delete server_;
    server_ = nullptr;
    table_.SetLiveValues(nullptr);
}

void Hub::UseTags(std::vector<TagDef> tags) {
    table_.SetTags(std::move(tags), options_.seed);
}

bool Hub::UseTagFile(const QString& path, QString* error) {
    follower_ = new TagFileFollower(
        path, [this](HubConfig config, bool initial) { Apply(std::move(config), initial); }, this);
    if (!follower_->Load(error))
        return false;
    follower_->Follow();
    return true;
}

void Hub::ReloadTagFile() {
    if (follower_)
        follower_->ReloadNow();
}

bool Hub::Start(QString* error) {
    return server_->Start(error);
}

void Hub::Apply(HubConfig config, bool) {
    if (!sources_) {
        sources_ = new LiveSources(this);
        table_.SetLiveValues(&sources_->Values());
        sources_->SetTagAdder([this](const QByteArray& name, qsizetype slot) {
            TagDef tag;
            tag.name = name;
            tag.kind = TagDef::Kind::Live;
            tag.slot = slot;
            return table_.AppendTag(std::move(tag));
        });
    }
    sources_->Apply(config);
    table_.SetTags(std::move(config.tags), options_.seed);
}

} // namespace gateway
