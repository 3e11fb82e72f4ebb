// svcorblex-request: sends one request ("HUB:GETTAGS", "TCP:host:port!GETVALUES", ...) through
// the hub reader and prints the answer. Exit status 0 when the answer is not empty, 1 when it
// is (the reader says why on standard error), 2 for bad options.

#include "base/Log.h"
#include "hub/HubReader.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

void Print(std::FILE* stream, const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("svcorblex-request"));
    logging::SetProgram(QStringLiteral("svcorblex-request"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Sends one request to a hub through the hub reader and prints the "
                       "answer.\nExit status 0 for an answer, 1 for an empty one."));
    parser.addHelpOption();
    parser.addPositionalArgument(
        QStringLiteral("request"),
        QStringLiteral(
            "\"HUB:GETTAGS\", \"TCP:127.0.0.1:6000!GETVALUES\", \"HUB:GETSTATUS\", ..."));
    const QCommandLineOption repeatOption(
        QStringLiteral("repeat"),
        QStringLiteral("Send the request N times; the time of each goes to standard error."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("timeout"), QStringLiteral("Time-out of one request in ms (default 5000)."),
        QStringLiteral("MS"), QString::number(hubreader::DefaultTimeoutMs));
    const QCommandLineOption nameOption(
        QStringLiteral("name"),
        QStringLiteral("Local endpoint for \"HUB:\" requests (default svcorblex-hub)."),
        QStringLiteral("NAME"), QLatin1String(hubreader::DefaultLocalName));
    parser.addOptions({repeatOption, timeoutOption, nameOption});
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    if (args.size() != 1) {
        logging::Error(QStringLiteral("give exactly one request; see --help"));
        return 2;
    }
    bool ok = false;
    const int repeat = parser.value(repeatOption).toInt(&ok);
    if (!ok || repeat < 1) {
        logging::Error(QStringLiteral("--repeat must be 1 or more"));
        return 2;
    }
    const int timeout = parser.value(timeoutOption).toInt(&ok);
    if (!ok || timeout < 0) {
        logging::Error(QStringLiteral("--timeout must be 0 or more"));
        return 2;
    }

    SVComSrvClass reader(parser.value(nameOption));
    reader.SetSilent(false);
    reader.SetTimeoutMs(timeout);
    QString answer;
    for (int i = 1; i <= repeat; ++i) {
        QElapsedTimer clock;
        clock.start();
        answer = reader.ReadInputFile(args.front());
        if (repeat > 1)
            logging::Info(QStringLiteral("request %1: %2 ms, %3 characters")
                              .arg(i)
                              .arg(double(clock.nsecsElapsed()) / 1e6, 0, 'f', 2)
                              .arg(answer.size()));
    }
    if (answer.isEmpty()) {
        // A failed request was already explained by the reader; an empty answer from a hub
        // that works looks the same to callers, so say what it may mean.
        logging::Warning(QStringLiteral("empty answer (failed request, unknown command or a "
                                        "hub without tags)"));
        return 1;
    }
    Print(stdout, answer.toLocal8Bit());
    Print(stdout, "\n");
    std::fflush(stdout);
    return 0;
}
