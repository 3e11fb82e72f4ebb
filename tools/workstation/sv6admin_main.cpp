// sv6admin.exe @FILE: shows the title and the variables of the application in the .SVT
// file FILE for administration, and points out invalid variables.
//
// The wizard passes "@" directly followed by the path (unquoted, possibly holding blanks)
// as the one and only argument. With --check before it (or SV6ADMIN_CHECK=1) the program
// shows no window: it prints the check report on standard output and exits with 0 when all
// variables are valid, 2 when some are not, 1 when the file cannot be read.
// With SV6ADMIN_SCREENSHOT=PATH the program saves a picture of its window as PATH (PNG) and
// ends at once with the exit code of --check.

#include "Fail.h"
#include "Workstation.h"
#include "generate/Application.h"
#include "generate/SvtFormat.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMessageBox>
#include <QPixmap>
#include <QSplitter>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cstdio>

namespace {

// Control characters would break a cell's layout; show them escaped as in the file.
QString Shown(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return svt::Escape(text);
    }
    return text;
}

QTableWidgetItem* TextItem(const QString& text) {
    return new QTableWidgetItem(Shown(text));
}

QTableWidgetItem* OptionalItem(const std::optional<QString>& text) {
    if (text)
        return TextItem(*text);
    auto* item = new QTableWidgetItem(QStringLiteral("(not set)"));
    QFont font = item->font();
    font.setItalic(true);
    item->setFont(font);
    item->setForeground(Qt::gray);
    return item;
}

int Fail(const QString& text, bool interactive) {
    return workstation::Fail(QStringLiteral("sv6admin"), text, interactive);
}

} // namespace

int main(int argc, char** argv) {
    QApplication qtApp(argc, argv);
    QStringList args = qtApp.arguments().mid(1);
    bool check = qEnvironmentVariable("SV6ADMIN_CHECK") == QLatin1String("1");
    if (args.size() == 2 && args.first() == QLatin1String("--check")) {
        check = true;
        args.removeFirst();
    }
    if (args.size() != 1)
        return Fail(QStringLiteral("Usage: sv6admin.exe [--check] @FILE"), !check);
    // The whole argument after "@" is the path, blanks included.
    QString file = args.first();
    if (file.startsWith(QLatin1Char('@')))
        file.remove(0, 1);

    Application app;
    try {
        app = Application::LoadFromFile(file);
    } catch (const ComponentError& e) {
        return Fail(e.message(), !check);
    }
    const std::vector<workstation::VariableProblem> problems = workstation::CheckVariables(app);
    const QStringList report = workstation::CheckReport(file, app, problems);

    if (check) {
        std::fprintf(stdout, "%s\n", report.join(QLatin1Char('\n')).toUtf8().constData());
        return problems.empty() ? 0 : 2;
    }

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("SV Admin - %1").arg(app.Title()));
    auto* central = new QWidget(&window);
    auto* layout = new QVBoxLayout(central);
    auto* title = new QLabel(central);
    title->setObjectName(QStringLiteral("lblTitle"));
    title->setTextFormat(Qt::PlainText);
    title->setText(QStringLiteral("Title: %1\nSet-up: %2\nFile: %3")
                       .arg(Shown(app.Title()), QString::number(app.SetUpValue()), file));
    layout->addWidget(title);

    auto* splitter = new QSplitter(Qt::Vertical, central);
    auto* table = new QTableWidget(int(app.Variables().size()), 6, splitter);
    table->setObjectName(QStringLiteral("variables"));
    table->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Type"),
                                      QStringLiteral("Length"), QStringLiteral("Decimals"),
                                      QStringLiteral("Link"), QStringLiteral("Code")});
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    int row = 0;
    for (const ApplicationVariable& v : app.Variables()) {
        table->setItem(row, 0, TextItem(v.Name()));
        table->setItem(row, 1, TextItem(v.FieldType()));
        table->setItem(row, 2, new QTableWidgetItem(QString::number(v.Length())));
        table->setItem(row, 3, new QTableWidgetItem(QString::number(v.Decimals())));
        table->setItem(row, 4, OptionalItem(v.Link()));
        table->setItem(row, 5, OptionalItem(v.Code()));
        ++row;
    }

    auto* problemList = new QListWidget(splitter);
    problemList->setObjectName(QStringLiteral("problems"));
    const QColor invalid(255, 215, 215);
    for (std::size_t i = 0; i < problems.size(); ++i) {
        const int r = problems[i].index;
        for (int c = 0; c < table->columnCount(); ++c) {
            QTableWidgetItem* item = table->item(r, c);
            item->setBackground(invalid);
            const QString tip = item->toolTip();
            item->setToolTip(tip.isEmpty() ? problems[i].text
                                           : tip + QLatin1Char('\n') + problems[i].text);
        }
        auto* entry = new QListWidgetItem(report[qsizetype(i) + 1], problemList);
        entry->setData(Qt::UserRole, r);
    }
    QObject::connect(problemList, &QListWidget::currentItemChanged, table,
                     [table](QListWidgetItem* item) {
                         if (!item)
                             return;
                         const int r = item->data(Qt::UserRole).toInt();
                         table->selectRow(r);
                         table->scrollToItem(table->item(r, 0));
                     });
    if (problems.empty())
        problemList->addItem(QStringLiteral("No problems found."));
    table->resizeColumnsToContents();
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter);
    window.setCentralWidget(central);
    auto* summary = new QLabel(report.first(), &window);
    summary->setObjectName(QStringLiteral("lblSummary"));
    summary->setTextFormat(Qt::PlainText);
    window.statusBar()->addWidget(summary, 1);
    window.resize(900, 600);
    window.show();
    const QString shot = qEnvironmentVariable("SV6ADMIN_SCREENSHOT");
    if (!shot.isEmpty()) {
        QApplication::processEvents();
        window.grab().save(shot, "PNG");
        return problems.empty() ? 0 : 2;
    }
    return qtApp.exec();
}
