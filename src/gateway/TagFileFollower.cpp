#include "gateway/TagFileFollower.h"

#include "base/Log.h"
#include "base/ReadFile.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>

#include <algorithm>
#include <utility>

#ifdef Q_OS_UNIX
#include <QFile>
#include <sys/stat.h>
#endif

namespace gateway {

TagFileFollower::TagFileFollower(const QString& path, Apply apply, QObject* parent)
    : QObject(parent), path_(QFileInfo(path).absoluteFilePath()), apply_(std::move(apply)) {
    // A second of rest: editors, scripts and copies write a tag file in milliseconds, and a
    // slow writer (a copy over a network share, a generator that writes as it goes) pauses far
    // less than that between blocks, so a file that rested a second is whole. Longer would
    // only delay every edit; a writer pausing longer still can only publish a file that
    // parses, which a half-written line rarely does. A change that keeps coming never
    // settles, and is read once it stops.
    settle_ = new QTimer(this);
    settle_->setSingleShot(true);
    settle_->setInterval(1000);
    connect(settle_, &QTimer::timeout, this, &TagFileFollower::Settled);
}

void TagFileFollower::SetSettleMs(int ms) {
    settle_->setInterval(ms);
}

TagFileFollower::Signature TagFileFollower::Look() const {
    Signature signature;
#ifdef Q_OS_UNIX
    struct stat info {};
    if (::stat(QFile::encodeName(path_).constData(), &info) != 0)
        return signature;
    signature.exists = true;
    signature.size = qint64(info.st_size);
    signature.modifiedNs = qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    signature.device = quint64(info.st_dev);
    signature.inode = quint64(info.st_ino);
#else
    const QFileInfo info(path_);
    if (!info.exists())
        return signature;
    signature.exists = true;
    signature.size = info.size();
    signature.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1'000'000;
#endif
    return signature;
}

bool TagFileFollower::Load(QString* error) {
    seen_ = Look();
    QStringList faults;
    const QString problem = Read(true, &faults);
    if (problem.isEmpty())
        return true;
    if (error) {
        for (QString& fault : faults)
            fault.prepend(path_ + QStringLiteral(": "));
        *error = faults.isEmpty() ? problem : faults.join(QLatin1Char('\n'));
    }
    return false;
}

void TagFileFollower::Follow() {
    // Editors often replace a file rather than write it, which a watch on the file alone
    // misses: the folder is watched too, and the file is looked at every second besides, for
    // when the system's watch says nothing (network file systems, the watch limit reached).
    // A look is one stat(), and a second matches the settle time: a change is served within
    // two seconds even then.
    watcher_ = new QFileSystemWatcher(this);
    watcher_->addPath(path_);
    watcher_->addPath(QFileInfo(path_).absolutePath());
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, &TagFileFollower::Changed);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, &TagFileFollower::Changed);
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &TagFileFollower::Changed);
    poll->start(1000);
}

void TagFileFollower::Changed() {
    const Signature now = Look();
    if (now == seen_) {
        settle_->stop();
        return;
    }
    // Each further change starts the wait again: a file is read once it has rested.
    if (!settle_->isActive() || !(now == pending_)) {
        pending_ = now;
        settle_->start();
    }
}

void TagFileFollower::Settled() {
    const Signature now = Look();
    if (!(now == pending_)) {
        pending_ = now;
        settle_->start();
        return;
    }
    seen_ = now;
    QStringList faults;
    Report(Read(false, &faults), faults);
}

void TagFileFollower::ReloadNow() {
    settle_->stop();
    seen_ = Look();
    // Asked for, the answer is said again even when it has not changed.
    lastProblem_.clear();
    reportUnchanged_ = true;
    QStringList faults;
    Report(Read(false, &faults), faults);
}

QString TagFileFollower::Read(bool initial, QStringList* faults) {
    const bool reportUnchanged = std::exchange(reportUnchanged_, false);
    // A file replaced by a new one is watched anew.
    if (watcher_ && !watcher_->files().contains(path_) && !watcher_->directories().contains(path_))
        watcher_->addPath(path_);
    const fileread::Contents contents = fileread::ReadRegularFile(path_, MaxBytes);
    if (!contents.ok())
        return QStringLiteral("cannot read tag file %1: it %2")
            .arg(path_, fileread::Describe(contents, MaxBytes));
    if (!initial && contents.data == text_) {
        // The version in service is back (or was asked for again): said once, so the log
        // does not end on a problem that is over.
        if (!lastProblem_.isEmpty() || reportUnchanged)
            logging::Notice(
                QStringLiteral("%1 is unchanged; keeping its %2 tags").arg(path_).arg(count_));
        lastProblem_.clear();
        return QString();
    }
    HubConfig config = ParseHubConfig(contents.data, faults);
    if (!faults->isEmpty())
        return QStringLiteral("%1 refused").arg(path_);
    // A file emptied by mistake (or caught between truncation and the new text) would take
    // every tag away from every client. A file with an MQTT tree has tags to come.
    if (config.tags.empty() && config.mqttTrees.empty() && !initial)
        return QStringLiteral("%1 holds no tags").arg(path_);
    text_ = contents.data;
    count_ = qsizetype(config.tags.size());
    const bool passwordInFile =
        std::any_of(config.brokers.begin(), config.brokers.end(),
                    [](const MqttBroker& broker) { return broker.passwordInFile; });
    const QStringList warnings = config.warnings;
    apply_(std::move(config), initial);
    lastProblem_.clear();
    logging::Notice(QStringLiteral("%1 %2 tags from %3")
                        .arg(initial ? QStringLiteral("loaded") : QStringLiteral("reloaded"))
                        .arg(count_)
                        .arg(path_));
    for (const QString& warning : warnings)
        logging::Warning(path_ + QStringLiteral(": ") + warning);
    // Said at every load: the hub cannot make the file private itself, and the password is
    // exposed for as long as it stays readable.
    if (passwordInFile && (contents.permissions & 044) != 0)
        logging::Warning(QStringLiteral("%1 holds a password that other users may read; give it "
                                        "with passwordenv= instead, or chmod 600 %1")
                             .arg(path_));
    return QString();
}

void TagFileFollower::Report(const QString& problem, const QStringList& faults) {
    // A file that stays unreadable or faulty is reported once, not at every look.
    const QString key = problem + QLatin1Char('\n') + faults.join(QLatin1Char('\n'));
    if (problem.isEmpty() || key == lastProblem_)
        return;
    lastProblem_ = key;
    for (const QString& fault : faults)
        logging::Error(path_ + QStringLiteral(": ") + fault);
    logging::Warning(problem + QStringLiteral("; keeping the tags served"));
}

} // namespace gateway
