// Building an application of 100,000 variables and saving it as .SVT, then loading it back.
// Prints "name value unit" lines.

#include "generate/Application.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication qtApp(argc, argv);
    constexpr int Count = 100000;
    const QString prefix = QStringLiteral("TCP:192.168.10.20:6000!");
    QStringList names;
    QStringList variables;
    names.reserve(Count);
    variables.reserve(Count);
    for (int i = 0; i < Count; ++i) {
        names << QStringLiteral("Area%1.Tank%2.Level, \"raw\"").arg(i % 50).arg(i);
        variables << QStringLiteral("Area%1_Tank%2_Level").arg(i % 50).arg(i);
    }
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath(QStringLiteral("bench.SVT"));

    QElapsedTimer timer;
    timer.start();
    {
        Application app;
        app.SetUp(1);
        app.SetTitle(QStringLiteral("Benchmark"));
        app.GetVariables().AddVariable(QStringLiteral("Date"), QStringLiteral("T"), 8, 0);
        app.GetVariables().AddVariable(QStringLiteral("Time"), QStringLiteral("T"), 8, 0);
        for (int i = 0; i < Count; ++i) {
            IVariable& v = app.GetVariables().AddVariable(variables[i], QStringLiteral("N"),
                                                          qint16(8 + i % 5), qint16(i % 3));
            v.SetLink(prefix + names[i]);
            v.SetCode(QStringLiteral("P"));
        }
        app.SaveToFile(path);
        app.CloseApplication();
    }
    std::printf("generate_build_save_100000 %lld ms\n", timer.elapsed());

    timer.restart();
    const Application loaded = Application::LoadFromFile(path);
    const qint64 loadMs = timer.elapsed();
    if (loaded.Variables().size() != Count + 2) {
        std::fprintf(stderr, "loaded %zu variables\n", loaded.Variables().size());
        return 1;
    }
    std::printf("generate_load_100000 %lld ms\n", loadMs);
    return 0;
}
