// Building an application of N variables and saving it as .SVT, loading it back, and opening
// it in sv6admin.exe, for N = 100,000 and 1,000,000. Prints "name value unit" lines:
//   generate_build_save_N            building the application and saving it (ms)
//   generate_write_bytes_N           baseline: writing the same bytes to a file (ms)
//   generate_load_N                  reading the file back into an application (ms)
//   generate_sv6admin_open_N         sv6admin.exe started on the file until its window has
//                                    been shown and painted (ms, whole process, median of 3)
//   generate_svt_size_N              the file's size (MB)

#include "generate/Application.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void Print(const QString& name, double value, const char* unit) {
    std::printf("%s %.1f %s\n", qPrintable(name), value, unit);
    std::fflush(stdout);
}

bool Measure(int count, const QString& dir) {
    const QString prefix = QStringLiteral("TCP:192.168.10.20:6000!");
    QStringList names;
    QStringList variables;
    names.reserve(count);
    variables.reserve(count);
    for (int i = 0; i < count; ++i) {
        names << QStringLiteral("Area%1.Tank%2.Level, \"raw\"").arg(i % 50).arg(i);
        variables << QStringLiteral("Area%1_Tank%2_Level").arg(i % 50).arg(i);
    }
    const QString path = QDir(dir).filePath(QStringLiteral("bench%1.SVT").arg(count));

    QElapsedTimer timer;
    timer.start();
    {
        Application app;
        app.SetUp(1);
        app.SetTitle(QStringLiteral("Benchmark"));
        app.GetVariables().AddVariable(QStringLiteral("Date"), QStringLiteral("T"), 8, 0);
        app.GetVariables().AddVariable(QStringLiteral("Time"), QStringLiteral("T"), 8, 0);
        for (int i = 0; i < count; ++i) {
            IVariable& v = app.GetVariables().AddVariable(variables[i], QStringLiteral("N"),
                                                          qint16(8 + i % 5), qint16(i % 3));
            v.SetLink(prefix + names[i]);
            v.SetCode(QStringLiteral("P"));
        }
        app.SaveToFile(path);
        app.CloseApplication();
    }
    Print(QStringLiteral("generate_build_save_%1").arg(count), double(timer.nsecsElapsed()) / 1e6,
          "ms");

    // The floor of any writer: the same bytes, already in memory, written to a new file.
    QByteArray bytes;
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        bytes = file.readAll();
    }
    Print(QStringLiteral("generate_svt_size_%1").arg(count), double(bytes.size()) / 1e6, "MB");
    timer.restart();
    {
        QFile copy(path + QStringLiteral(".copy"));
        if (!copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size())
            return false;
    }
    Print(QStringLiteral("generate_write_bytes_%1").arg(count), double(timer.nsecsElapsed()) / 1e6,
          "ms");
    QFile::remove(path + QStringLiteral(".copy"));
    bytes.clear();

    timer.restart();
    {
        const Application loaded = Application::LoadFromFile(path);
        if (loaded.Variables().size() != std::size_t(count) + 2) {
            std::fprintf(stderr, "loaded %zu variables\n", loaded.Variables().size());
            return false;
        }
    }
    Print(QStringLiteral("generate_load_%1").arg(count), double(timer.nsecsElapsed()) / 1e6, "ms");

    // sv6admin.exe shows the file, takes a picture of its window and ends (with 2 when it
    // found invalid variables).
    std::vector<double> open;
    for (int run = 0; run < 3; ++run) {
        QProcess admin;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SV6ADMIN_SCREENSHOT"),
                   QDir(dir).filePath(QStringLiteral("admin.png")));
        if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        admin.setProcessEnvironment(env);
        admin.setProcessChannelMode(QProcess::ForwardedChannels);
        timer.restart();
        admin.start(QCoreApplication::applicationDirPath() + QStringLiteral("/sv6admin.exe"),
                    {QLatin1Char('@') + path});
        if (!admin.waitForFinished(600'000) || admin.exitStatus() != QProcess::NormalExit ||
            (admin.exitCode() != 0 && admin.exitCode() != 2)) {
            std::fprintf(stderr, "bench_generate: sv6admin.exe failed on %d variables\n", count);
            return false;
        }
        open.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(open.begin(), open.end());
    Print(QStringLiteral("generate_sv6admin_open_%1").arg(count), open[open.size() / 2], "ms");
    QFile::remove(path);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication qtApp(argc, argv);
    QTemporaryDir dir;
    bool ok = true;
    for (int count : {100'000, 1'000'000})
        ok = Measure(count, dir.path()) && ok;
    return ok ? 0 : 1;
}
