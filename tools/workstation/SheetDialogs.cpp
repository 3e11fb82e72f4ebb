#include "SheetDialogs.h"

#include <QDateTimeEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

namespace workstation {

namespace {
const QString DateTimeFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss");

QDateTimeEdit* MakeEdit(QDialog* dialog, const QString& name, const QDateTime& value,
                        const QDateTime& first, const QDateTime& last) {
    auto* edit = new QDateTimeEdit(value, dialog);
    edit->setObjectName(name);
    edit->setDisplayFormat(DateTimeFormat);
    edit->setCalendarPopup(true);
    if (first.isValid() && last.isValid() && first <= last)
        edit->setDateTimeRange(first, last);
    return edit;
}

void AddButtons(QDialog* dialog, QFormLayout* form) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    form->addRow(buttons);
}
} // namespace

QDialog* MakeGoToDialog(QWidget* parent, const QDateTime& initial, const QDateTime& first,
                        const QDateTime& last) {
    auto* dialog = new QDialog(parent);
    dialog->setWindowTitle(QStringLiteral("Go to"));
    auto* form = new QFormLayout(dialog);
    form->addRow(QStringLiteral("Date and time:"),
                 MakeEdit(dialog, QStringLiteral("moment"), initial, first, last));
    AddButtons(dialog, form);
    return dialog;
}

std::optional<QDateTime> AskMomentWithDialog(QWidget* parent, const QDateTime& initial,
                                             const QDateTime& first, const QDateTime& last) {
    QDialog* dialog = MakeGoToDialog(parent, initial, first, last);
    std::optional<QDateTime> moment;
    if (dialog->exec() == QDialog::Accepted)
        moment = dialog->findChild<QDateTimeEdit*>(QStringLiteral("moment"))->dateTime();
    delete dialog;
    return moment;
}

QDialog* MakeExportDialog(QWidget* parent, const QDateTime& first, const QDateTime& last,
                          const QString& suggestedFile) {
    auto* dialog = new QDialog(parent);
    dialog->setWindowTitle(QStringLiteral("Export CSV"));
    auto* form = new QFormLayout(dialog);
    form->addRow(QStringLiteral("From:"),
                 MakeEdit(dialog, QStringLiteral("from"), first, first, last));
    form->addRow(QStringLiteral("To:"), MakeEdit(dialog, QStringLiteral("to"), last, first, last));
    auto* file = new QLineEdit(suggestedFile, dialog);
    file->setObjectName(QStringLiteral("file"));
    file->setMinimumWidth(320);
    auto* browse = new QPushButton(QStringLiteral("Browse..."), dialog);
    QObject::connect(browse, &QPushButton::clicked, dialog, [dialog, file] {
        const QString chosen = QFileDialog::getSaveFileName(
            dialog, QStringLiteral("Export CSV"), file->text(), QStringLiteral("CSV (*.csv)"));
        if (!chosen.isEmpty())
            file->setText(chosen);
    });
    auto* row = new QHBoxLayout;
    row->addWidget(file, 1);
    row->addWidget(browse);
    form->addRow(QStringLiteral("File:"), row);
    AddButtons(dialog, form);
    return dialog;
}

std::optional<ExportChoice> AskExportWithDialog(QWidget* parent, const QDateTime& first,
                                                const QDateTime& last,
                                                const QString& suggestedFile) {
    QDialog* dialog = MakeExportDialog(parent, first, last, suggestedFile);
    std::optional<ExportChoice> choice;
    if (dialog->exec() == QDialog::Accepted) {
        const QString file = dialog->findChild<QLineEdit*>(QStringLiteral("file"))->text();
        if (!file.isEmpty())
            choice = ExportChoice{
                dialog->findChild<QDateTimeEdit*>(QStringLiteral("from"))->dateTime(),
                dialog->findChild<QDateTimeEdit*>(QStringLiteral("to"))->dateTime(), file};
    }
    delete dialog;
    return choice;
}

} // namespace workstation
