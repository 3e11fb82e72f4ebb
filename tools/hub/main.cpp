// svcorblex-hub: publishes process values under tag names over wire protocol v1, on a local
// endpoint and on TCP: simulated tags, or tags read from MQTT brokers and Modbus devices as a
// tag file describes. See docs/demo-hub.md and docs/hub-config.md.
//
// Built twice from this file: svcorblex-hub, the hub users install, and svcorblex-hub-faults
// (SVC_HUB_FAULTS), which can also misbehave on purpose for tests and the demo.

#include "base/Log.h"
#include "gateway/Hub.h"
#include "gateway/TagFile.h"

#ifdef SVC_HUB_FAULTS
#include "Faults.h"
#endif

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <cmath>
#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t reloadRequested = 0;

extern "C" void RequestStop(int) {
    stopRequested = 1;
}

extern "C" void RequestReload(int) {
    reloadRequested = 1;
}

int Fail(const QString& message) {
    logging::Error(message);
    return 2;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("svcorblex-hub"));
    logging::SetProgram(QStringLiteral("svcorblex-hub"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Hub: publishes process values under tag names, simulated or read\n"
                       "from MQTT brokers and Modbus devices (see docs/hub-config.md).\n"
                       "Answers GETTAGS and GETVALUES on a local endpoint and on TCP."));
    parser.addHelpOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("TCP port (default 6000; 0 picks a free one)."),
        QStringLiteral("N"), QStringLiteral("6000"));
    const QCommandLineOption listenOption(
        QStringLiteral("listen"), QStringLiteral("TCP address to listen on (default 127.0.0.1)."),
        QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption nameOption(
        QStringLiteral("name"), QStringLiteral("Local endpoint name (default svcorblex-hub)."),
        QStringLiteral("NAME"), QStringLiteral("svcorblex-hub"));
    const QCommandLineOption tagsOption(
        QStringLiteral("tags"),
        QStringLiteral("Publish the tags of FILE; follows changes to the file, and reads it "
                       "again on SIGHUP."),
        QStringLiteral("FILE"));
    const QCommandLineOption syntheticOption(QStringLiteral("synthetic"),
                                             QStringLiteral("Publish N generated tags."),
                                             QStringLiteral("N"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed of the simulation (default 1)."),
                                        QStringLiteral("N"), QStringLiteral("1"));
#ifdef SVC_HUB_FAULTS
    const QCommandLineOption faultOption(
        QStringLiteral("fault"),
        QStringLiteral(
            "Misbehave on purpose: stall, slow, drip, close, garbage, oversize, mismatch, "
            "flap or nostatus."),
        QStringLiteral("MODE"));
    const QCommandLineOption faultPeriodOption(
        QStringLiteral("fault-period"),
        QStringLiteral("Time scale of the faults in ms (default 2000): flap goes down and up "
                       "again after this long, drip sends a byte every hundredth of it."),
        QStringLiteral("MS"), QStringLiteral("2000"));
    parser.addOptions({faultOption, faultPeriodOption});
#endif
    const QCommandLineOption quietOption(
        QStringLiteral("quiet"), QStringLiteral("Do not log clients connecting and leaving."));
    const QCommandLineOption maxClientsOption(
        QStringLiteral("max-clients"),
        QStringLiteral("Most clients served at once (default 256); at the cap a new client "
                       "takes the place of the one of least use."),
        QStringLiteral("N"), QStringLiteral("256"));
    const QCommandLineOption idleOption(
        QStringLiteral("idle-timeout"),
        QStringLiteral("Close a client idle for this many seconds (default 600)."),
        QStringLiteral("SECONDS"), QStringLiteral("600"));
    parser.addOptions({portOption, listenOption, nameOption, tagsOption, syntheticOption,
                       seedOption, quietOption, maxClientsOption, idleOption});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return Fail(QStringLiteral("unexpected argument \"%1\"; see --help")
                        .arg(parser.positionalArguments().front()));

    gateway::HubOptions hubOptions;
    gateway::ServerOptions& options = hubOptions.server;
    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port > 65535)
        return Fail(QStringLiteral("--port must be 0 to 65535"));
    options.port = quint16(port);
    QString listen = parser.value(listenOption).trimmed();
    if (listen.startsWith(QLatin1Char('[')) && listen.endsWith(QLatin1Char(']')))
        listen = listen.mid(1, listen.size() - 2);
    if (!options.address.setAddress(listen))
        return Fail(QStringLiteral("--listen needs an IPv4 or IPv6 address, not \"%1\"")
                        .arg(parser.value(listenOption)));
    options.localName = parser.value(nameOption);
    if (options.localName.isEmpty())
        return Fail(QStringLiteral("--name must not be empty"));
    hubOptions.seed = parser.value(seedOption).toULongLong(&ok);
    if (!ok)
        return Fail(QStringLiteral("--seed must be a whole number"));
    logging::SetQuiet(parser.isSet(quietOption));
    const int maxClients = parser.value(maxClientsOption).toInt(&ok);
    if (!ok || maxClients < 1)
        return Fail(QStringLiteral("--max-clients must be a whole number from 1"));
    options.maxClients = maxClients;
    const double idleSeconds = parser.value(idleOption).toDouble(&ok);
    if (!ok || !(idleSeconds >= 0.01) || idleSeconds > 24 * 3600)
        return Fail(QStringLiteral("--idle-timeout must be 0.01 to 86400 seconds"));
    options.idleTimeoutMs = int(std::lround(idleSeconds * 1000));
#ifdef SVC_HUB_FAULTS
    auto fault = hubfaults::Fault::None;
    if (parser.isSet(faultOption)) {
        const auto parsed = hubfaults::ParseFault(parser.value(faultOption));
        if (!parsed)
            return Fail(QStringLiteral("unknown --fault \"%1\"").arg(parser.value(faultOption)));
        fault = *parsed;
    }
    const int faultPeriodMs = parser.value(faultPeriodOption).toInt(&ok);
    if (!ok || faultPeriodMs < 100 || faultPeriodMs > 3600000)
        return Fail(QStringLiteral("--fault-period must be between 100 and 3600000 ms"));
#endif
    if (parser.isSet(tagsOption) && parser.isSet(syntheticOption))
        return Fail(QStringLiteral("--tags and --synthetic exclude each other"));

    gateway::Hub hub(hubOptions);
#ifdef SVC_HUB_FAULTS
    hubfaults::Install(hub.Server(), fault, faultPeriodMs);
#endif
    QString error;
    if (parser.isSet(tagsOption)) {
        if (!hub.UseTagFile(parser.value(tagsOption), &error))
            return Fail(error);
    } else if (parser.isSet(syntheticOption)) {
        const qlonglong count = parser.value(syntheticOption).toLongLong(&ok);
        if (!ok || count < 0 || count > 10'000'000)
            return Fail(QStringLiteral("--synthetic must be 0 to 10000000"));
        hub.UseTags(gateway::SyntheticTags(count));
    } else {
        hub.UseTags(gateway::BuiltInTags());
    }

    if (!options.address.isLoopback())
        logging::Warning(QStringLiteral("warning: listening on %1, beyond this computer; wire "
                                        "protocol v1 has no authentication, so anyone who "
                                        "reaches this port can read every tag")
                             .arg(options.address.toString()));
    if (!hub.Start(&error))
        return Fail(error);

#ifdef SIGPIPE
    // A client that vanishes while an answer is being written must not end the hub.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
#ifdef SIGHUP
    std::signal(SIGHUP, RequestReload);
#endif
    QTimer signalPoll;
    QObject::connect(&signalPoll, &QTimer::timeout, &app, [&hub] {
        if (stopRequested)
            QCoreApplication::quit();
        if (reloadRequested) {
            reloadRequested = 0;
            hub.ReloadTagFile();
        }
    });
    signalPoll.start(100);

    // Where the hub listens is worth a notice in the journal, where standard output goes too.
    const QByteArray line =
        (QLatin1String(logging::IsJournal(1) ? "<5>" : "") + QStringLiteral("svcorblex-hub: ") +
         hub.Server().ListeningText() + QLatin1Char('\n'))
            .toLocal8Bit();
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);

    const int code = app.exec();
    logging::Notice(QStringLiteral("stopped"));
    return code;
}
