// sv6admin.exe @FILE: shows the title and the variables of the application in the .SVT
// file FILE for administration, and points out invalid variables.
//
// The wizard passes "@" directly followed by the path (unquoted, possibly holding blanks)
// as the one and only argument. With --check before it (or SV6ADMIN_CHECK=1) the program
// shows no window and needs no display: it prints the check report on standard output and
// exits with 0 when all variables are valid, 2 when some are not, 1 when the file cannot be
// read.
// With SV6ADMIN_SCREENSHOT=PATH the program saves a picture of its window as PATH (PNG) and
// ends at once with the exit code of --check.

#include "Fail.h"
#include "Workstation.h"
#include "generate/Application.h"
#include "generate/SvtFormat.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMessageBox>
#include <QPixmap>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QVBoxLayout>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Control characters would break a cell's layout; show them escaped as in the file.
QString Shown(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return svt::Escape(text);
    }
    return text;
}

// The variables as a table read straight from the application: a file of a million variables
// needs no million items, and only the rows on screen are ever asked for.
class VariablesModel : public QAbstractTableModel {
public:
    VariablesModel(const Application& app, QObject* parent)
        : QAbstractTableModel(parent), variables_(app.Variables()) {}

    // Marks a row invalid; `text` becomes (part of) its tool tip.
    void AddProblem(int row, const QString& text) {
        QString& tip = problems_[row];
        tip = tip.isEmpty() ? text : tip + QLatin1Char('\n') + text;
    }

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : int(variables_.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : 6;
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        static const char* const headings[] = {"Name",     "Type", "Length",
                                               "Decimals", "Link", "Code"};
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 6)
            return QString::fromLatin1(headings[section]);
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= rowCount() || index.column() >= 6)
            return {};
        const ApplicationVariable& v = variables_[std::size_t(index.row())];
        const int column = index.column();
        const std::optional<QString>* optional = column == 4   ? &v.Link()
                                                 : column == 5 ? &v.Code()
                                                               : nullptr;
        const bool notSet = optional && !*optional;
        switch (role) {
        case Qt::DisplayRole:
            switch (column) {
            case 0:
                return Shown(v.Name());
            case 1:
                return Shown(v.FieldType());
            case 2:
                return QString::number(v.Length());
            case 3:
                return QString::number(v.Decimals());
            default:
                return notSet ? QStringLiteral("(not set)") : Shown(**optional);
            }
        case Qt::FontRole:
            if (notSet) {
                QFont font;
                font.setItalic(true);
                return font;
            }
            return {};
        case Qt::ForegroundRole:
            return notSet ? QVariant(QColor(Qt::gray)) : QVariant();
        case Qt::BackgroundRole:
            return problems_.contains(index.row()) ? QVariant(QColor(255, 215, 215)) : QVariant();
        case Qt::ToolTipRole: {
            const auto it = problems_.constFind(index.row());
            return it == problems_.cend() ? QVariant() : QVariant(*it);
        }
        default:
            return {};
        }
    }

private:
    const std::deque<ApplicationVariable>& variables_;
    QHash<int, QString> problems_;
};

int Fail(const QString& text, bool interactive) {
    return workstation::Fail(QStringLiteral("sv6admin"), text, interactive);
}

} // namespace

int main(int argc, char** argv) {
    // --check shows no window, so it needs no display: the kind of application is chosen
    // before one exists, from the raw arguments.
    const bool checkOption = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    bool check = checkOption || qEnvironmentVariable("SV6ADMIN_CHECK") == QLatin1String("1");
    const std::unique_ptr<QCoreApplication> qtApp =
        check ? std::make_unique<QCoreApplication>(argc, argv)
              : std::make_unique<QApplication>(argc, argv);
    logging::SetProgram(QStringLiteral("sv6admin.exe"));
    QStringList args = QCoreApplication::arguments().mid(1);
    // With Qt's own options before it (-platform ...), --check comes after them.
    if (checkOption || (args.size() == 2 && args.first() == QLatin1String("--check"))) {
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
    auto* table = new QTableView(splitter);
    table->setObjectName(QStringLiteral("variables"));
    auto* model = new VariablesModel(app, table);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);

    auto* problemList = new QListWidget(splitter);
    problemList->setObjectName(QStringLiteral("problems"));
    for (std::size_t i = 0; i < problems.size(); ++i) {
        const int r = problems[i].index;
        model->AddProblem(r, problems[i].text);
        auto* entry = new QListWidgetItem(report[qsizetype(i) + 1], problemList);
        entry->setData(Qt::UserRole, r);
    }
    QObject::connect(problemList, &QListWidget::currentItemChanged, table,
                     [table](QListWidgetItem* item) {
                         if (!item)
                             return;
                         const int r = item->data(Qt::UserRole).toInt();
                         table->selectRow(r);
                         table->scrollTo(table->model()->index(r, 0));
                     });
    if (problems.empty())
        problemList->addItem(QStringLiteral("No problems found."));
    table->setModel(model);
    // Fits each column to its heading and to the rows on screen and a thousand more, not to
    // every row of a large file.
    table->horizontalHeader()->setResizeContentsPrecision(1000);
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
    return QApplication::exec();
}
