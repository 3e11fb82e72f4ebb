#pragma once
// Where tests write what a person looks at afterwards (pictures of windows, PDFs).

#include <QDir>
#include <QString>

// The folder for PNGs and other output of the tests: SVC_TEST_OUTPUT, else a folder in the
// temporary folder, so that a test run never writes into the checkout.
inline QString TestOutputFolder() {
    QString dir = qEnvironmentVariable("SVC_TEST_OUTPUT");
    if (dir.isEmpty())
        dir = QDir::tempPath() + QStringLiteral("/svcorblex-test-output");
    QDir().mkpath(dir);
    return dir;
}
