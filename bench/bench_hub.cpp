// Hub round trip benchmark. Starts build/<preset>/bin/svcorblex-hub with synthetic tags on a
// free port and a local endpoint of its own, sends "GETVALUES" through the hub reader and
// prints the median and worst of the round trips, for 1,000, 100,000 and 1,000,000 tags:
//   hub_getvalues_100000_tcp_median 12.0 ms

#include "gateway/TagFile.h"
#include "gateway/TagTable.h"
#include "hub/HubReader.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int Requests = 30;

void Report(const char* name, double value, const char* unit) {
    std::printf("%s %.2f %s\n", name, value, unit);
    std::fflush(stdout);
}

void ReportTimes(const QString& name, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    Report(qPrintable(name + QStringLiteral("_median")), ms[ms.size() / 2], "ms");
    Report(qPrintable(name + QStringLiteral("_worst")), ms.back(), "ms");
}

// Starts the hub and returns its TCP port, 0 on failure.
quint16 StartHub(QProcess& hub, qsizetype tags, const QString& name) {
    hub.start(QCoreApplication::applicationDirPath() + QStringLiteral("/svcorblex-hub"),
              {QStringLiteral("--synthetic"), QString::number(tags), QStringLiteral("--port"),
               QStringLiteral("0"), QStringLiteral("--name"), name, QStringLiteral("--quiet")});
    QByteArray out;
    const QDeadlineTimer deadline(30000);
    while (!out.contains('\n') && !deadline.hasExpired() &&
           hub.waitForReadyRead(int(deadline.remainingTime())))
        out += hub.readAllStandardOutput();
    static const QRegularExpression where(QStringLiteral(":(\\d+) and local endpoint "));
    const auto match = where.match(QString::fromLocal8Bit(out));
    return match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
}

bool RoundTrips(qsizetype tags) {
    const QString name =
        QStringLiteral("svc-bench-%1-%2").arg(QCoreApplication::applicationPid()).arg(tags);
    QProcess hub;
    const quint16 port = StartHub(hub, tags, name);
    if (port == 0) {
        std::fprintf(stderr, "bench_hub: the demo hub did not start\n");
        return false;
    }
    const QString prefixes[] = {QStringLiteral("HUB:"),
                                QStringLiteral("TCP:127.0.0.1:%1!").arg(port)};
    const char* transports[] = {"local", "tcp"};
    bool ok = true;
    for (int t = 0; t < 2; ++t) {
        SVComSrvClass reader(name);
        reader.SetSilent(false);
        const QString request = prefixes[t] + QStringLiteral("GETVALUES");
        // The first request connects; it is timed on its own.
        QElapsedTimer clock;
        clock.start();
        ok = ok && reader.ReadInputFile(request).count(QLatin1Char('\t')) == tags - 1;
        Report(qPrintable(QStringLiteral("hub_getvalues_%1_%2_first")
                              .arg(tags)
                              .arg(QLatin1String(transports[t]))),
               double(clock.nsecsElapsed()) / 1e6, "ms");
        std::vector<double> ms;
        for (int i = 0; i < Requests; ++i) {
            clock.restart();
            const QString answer = reader.ReadInputFile(request);
            ms.push_back(double(clock.nsecsElapsed()) / 1e6);
            ok = ok && answer.count(QLatin1Char('\t')) == tags - 1;
        }
        ReportTimes(
            QStringLiteral("hub_getvalues_%1_%2").arg(tags).arg(QLatin1String(transports[t])), ms);
    }
    hub.terminate();
    hub.waitForFinished(10000);
    if (!ok)
        std::fprintf(stderr, "bench_hub: a GETVALUES answer had the wrong entry count\n");
    return ok;
}

// The hub's share of the round trip: building the answer text.
void BuildValues(qsizetype tags) {
    gateway::TagTable plant;
    plant.SetTags(gateway::SyntheticTags(tags), 1);
    std::vector<double> ms;
    qsizetype bytes = 0;
    for (int i = 0; i < Requests; ++i) {
        QElapsedTimer clock;
        clock.start();
        bytes = plant.ValuesAnswer(10.0 + i).size();
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    ReportTimes(QStringLiteral("hub_build_values_%1").arg(tags), ms);
    Report(qPrintable(QStringLiteral("hub_values_answer_%1_size").arg(tags)), double(bytes) / 1e6,
           "MB");
    // GETSTATUS: the same pass over the tags, a code in place of each value.
    ms.clear();
    for (int i = 0; i < Requests; ++i) {
        QElapsedTimer clock;
        clock.start();
        bytes = plant.StatusAnswer().size();
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    ReportTimes(QStringLiteral("hub_build_status_%1").arg(tags), ms);
    Report(qPrintable(QStringLiteral("hub_status_answer_%1_size").arg(tags)), double(bytes) / 1e6,
           "MB");
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    bool ok = true;
    for (const qsizetype tags : {qsizetype(1000), qsizetype(100000), qsizetype(1000000)}) {
        BuildValues(tags);
        ok = RoundTrips(tags) && ok;
    }
    return ok ? 0 : 1;
}
