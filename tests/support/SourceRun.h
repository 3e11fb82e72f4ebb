#pragma once
// One source of the hub (a Modbus device, an MQTT broker) run in-process on the test's thread
// from a tag file, where each tag's quality can be seen; what it logs is kept.

#include "base/Log.h"
#include "gateway/LiveValues.h"
#include "gateway/TagFile.h"

#include <QMap>
#include <QStringList>
#include <functional>
#include <memory>

template <typename Source> class SourceRun {
public:
    using Make =
        std::function<std::unique_ptr<Source>(const gateway::HubConfig&, gateway::LiveValues&)>;

    SourceRun(const QByteArray& tagFile, const Make& make) {
        logging::SetSink([this](logging::Level, const QString& line) { log_ << line; });
        QStringList errors;
        config_ = gateway::ParseHubConfig(tagFile, &errors);
        if (!errors.isEmpty())
            qFatal("bad tag file: %s", qPrintable(errors.join(QLatin1Char('\n'))));
        values_.Reset(config_.staleMs);
        source_ = make(config_, values_);
        source_->Start();
    }
    ~SourceRun() {
        source_.reset();
        logging::SetSink({});
    }
    SourceRun(const SourceRun&) = delete;
    SourceRun& operator=(const SourceRun&) = delete;

    // "good 12", "refused", "offline", ...: the tag's quality and value.
    QString State(const char* name) const {
        for (const gateway::TagDef& tag : config_.tags)
            if (tag.name == name) {
                const gateway::Quality quality = values_.QualityOf(tag.slot);
                const QString word = gateway::QualityWord(quality);
                return quality == gateway::Quality::Good
                           ? word + QLatin1Char(' ') + QString::fromUtf8(values_.Current(tag.slot))
                           : word;
            }
        return QStringLiteral("no tag %1").arg(QLatin1String(name));
    }
    QMap<QString, QString> States() const {
        QMap<QString, QString> states;
        for (const gateway::TagDef& tag : config_.tags)
            states.insert(QString::fromUtf8(tag.name), State(tag.name.constData()));
        return states;
    }
    // The lines logged so far, and all of them as one text.
    const QStringList& Log() const { return log_; }
    QString LogText() const { return log_.join(QLatin1Char('\n')); }
    Source& source() { return *source_; }
    // Ends the source as a reload or the hub's stop does, keeping what it logged.
    void Stop() { source_.reset(); }

private:
    gateway::HubConfig config_;
    gateway::LiveValues values_;
    std::unique_ptr<Source> source_;
    QStringList log_;
};
