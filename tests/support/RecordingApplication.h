#pragma once
// An application model that records every call the builder makes, as text.

#include "generate/IApplication.h"

#include <QFileInfo>
#include <QStringList>

struct RecordingApplication : IApplication, IVariables, IVariable {
    explicit RecordingApplication(QStringList& record) : calls(record) {}
    void SetUp(int v) override { calls << QStringLiteral("SetUp(%1)").arg(v); }
    void SetTitle(const QString& t) override { calls << QStringLiteral("SetTitle(%1)").arg(t); }
    IVariables& GetVariables() override {
        calls << QStringLiteral("GetVariables");
        return *this;
    }
    IVariable& AddVariable(const QString& n, const QString& t, qint16 l, qint16 d) override {
        calls << QStringLiteral("AddVariable(%1,%2,%3,%4)").arg(n, t).arg(l).arg(d);
        return *this;
    }
    void SetLink(const QString& l) override { calls << QStringLiteral("SetLink(%1)").arg(l); }
    void SetCode(const QString& c) override { calls << QStringLiteral("SetCode(%1)").arg(c); }
    void SaveToFile(const QString& f) override {
        calls << QStringLiteral("SaveToFile(%1)").arg(QFileInfo(f).fileName());
    }
    void CloseApplication() override { calls << QStringLiteral("CloseApplication"); }

    QStringList& calls;
};
