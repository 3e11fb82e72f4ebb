// Saves an application of N tag variables to a file and prints the error, if any: run by the
// tests under a lowered file size limit, which makes the save meet a "full disk" for real.
//   save_child N FILE   exit 0 when saved, 1 with the error on standard output

#include "generate/Application.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3)
        return 2;
    Application model;
    model.SetUp(1);
    model.SetTitle(QStringLiteral("Line 3"));
    model.GetVariables().AddVariable(QStringLiteral("Date"), QStringLiteral("T"), 8, 0);
    model.GetVariables().AddVariable(QStringLiteral("Time"), QStringLiteral("T"), 8, 0);
    const int n = args.at(1).toInt();
    for (int i = 1; i <= n; ++i) {
        IVariable& v = model.GetVariables().AddVariable(QStringLiteral("Tank%1_Level").arg(i),
                                                        QStringLiteral("N"), 6, 2);
        v.SetLink(QStringLiteral("HUB:Tank%1.Level").arg(i));
        v.SetCode(QStringLiteral("P"));
    }
    try {
        model.SaveToFile(args.at(2));
    } catch (const ComponentError& e) {
        std::fputs(qPrintable(e.message()), stdout);
        return 1;
    }
    return 0;
}
