// The whole road of one run against a real demo hub: connect over TCP, sample on the real
// timer, choose tags, lay out the columns, save the application, read the file back, and
// preview and open it with the real sv6.exe and sv6admin.exe. Every page is also saved as a
// picture in the test output.

#include "E2eWizard.h"
#include "support/TempFolderOverride.h"

#include "generate/Application.h"
#include "hub/HubReader.h"
#include "ui/GridHeader.h"

#include <QAbstractAnimation>
#include <QComboBox>

#include <algorithm>

namespace {

// Saves a picture of the window to the test output, e2e/NAME, for a person to look at (and
// for scripts/screenshots to copy into docs/images).
void SavePicture(QWidget* widget, const QString& name) {
    // Let the grids apply their pending changes before the picture is taken.
    QCoreApplication::processEvents();
    // A style may animate a change for a moment (the Windows style fades a radio button from
    // one state to the other, a button into its hover look), starting when the change is
    // first drawn; the picture shows the end of each such animation. Endless ones (a pulsing
    // default button) are not waited for.
    widget->grab();
    const auto animating = [widget] {
        const auto animations = widget->findChildren<QAbstractAnimation*>();
        return std::any_of(animations.begin(), animations.end(), [](QAbstractAnimation* a) {
            return a->state() == QAbstractAnimation::Running && a->duration() >= 0;
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(!animating(), 5000);
    const QPixmap picture = widget->grab();
    const QString folder = TestOutputFolder() + QStringLiteral("/e2e");
    QDir().mkpath(folder);
    QVERIFY(picture.save(folder + QLatin1Char('/') + name, "PNG"));
}

QStringList VisibleNames(const FlexGrid* grid) {
    QStringList names;
    for (int r = 1; r < grid->Rows(); ++r)
        if (!grid->RowHidden(r))
            names << grid->TextMatrix(r, 1);
    return names;
}

// The centre of a heading, in the header's viewport.
QPoint HeadingCentre(const FlexGrid* grid, int col) {
    const GridHeader* header = grid->header();
    return {header->sectionViewportPosition(col) + header->sectionSize(col) / 2,
            header->viewport()->height() / 2};
}

const QStringList Chosen = {
    QStringLiteral("Tank1.Level"), QStringLiteral("Tank1.Temperature"),
    QStringLiteral("Tank2.Valve"), QStringLiteral("Batch Description"),
    QStringLiteral("Very Long Tag Name Used To Test The Heading Line Layout Of Columns")};

} // namespace

class TestE2eRoad : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(StartHubForWizard(hub_, {QStringLiteral("--seed"), QStringLiteral("42")}),
                 qPrintable(hub_.Log()));
    }

    // The whole road, page by page; each step stops the run when it fails.
    void road() {
        E2eWizard w;
        QVERIFY(w.Start());
        QVERIFY(files_.isValid());
        using Step = void (TestE2eRoad::*)(E2eWizard&);
        for (Step step :
             {&TestE2eRoad::connectPage, &TestE2eRoad::samplingPage, &TestE2eRoad::selectTagsPage,
              &TestE2eRoad::layoutPage, &TestE2eRoad::generatePage,
              &TestE2eRoad::fileHoldsWhatThePagesShowed, &TestE2eRoad::previewAndOpen}) {
            (this->*step)(w);
            if (QTest::currentTestFailed())
                return;
        }
        w.Click("cmdClose");
        QVERIFY(!w.window->isVisible());
    }

    // The direct method reaches the hub through its local endpoint; the reader is the real
    // one, told the endpoint name of the test's hub instead of the fixed one.
    void directViaLocalEndpoint() {
        const QString name = hub_.name();
        ScopedComponent reader(QLatin1String(HubReaderClassName),
                               [name] { return std::make_unique<SVComSrvClass>(name); });
        E2eWizard w;
        QVERIFY(w.Start());
        E2eWizard::Type(w.Box("txtSampleRate"), QStringLiteral("200"));
        w.Click("cmdNext");
        QCOMPARE(w.messages.Texts(), QStringList());
        QCOMPARE(w.window->CurrentPage(), 1);
        QCOMPARE(w.window->State().hubPrefix, QStringLiteral("HUB:"));
        QCOMPARE(w.window->State().tags->Count(), 41);
        QTRY_VERIFY_WITH_TIMEOUT(w.SamplesReported() >= 3, 10000);
        QCOMPARE(w.messages.Texts(), QStringList());
    }

    void cleanupTestCase() { hub_.Stop(); }

private:
    // Connect: the remote hub's address, port and rate typed; Next fetches the tags.
    void connectPage(E2eWizard& w) {
        w.FillConnectPage(hub_.port(), 200);
        SavePicture(w.window.get(), QStringLiteral("page0-connect.png"));
        w.Click("cmdNext");
        QCOMPARE(w.messages.Texts(), QStringList());
        QVERIFY(!E2eWizard::BusyPointerShown());
        QCOMPARE(w.window->CurrentPage(), 1);
        QCOMPARE(w.window->State().hubPrefix, TcpPrefix());
        QCOMPARE(w.window->State().tags->Count(), 41);
    }

    // Sampling on the real timer until the properties settle; leaving it stops the timer.
    void samplingPage(E2eWizard& w) {
        FlexGrid* sampling = w.Grid("SamplingGrid");
        QVERIFY(w.Timer()->isActive());
        QCOMPARE(w.Timer()->interval(), 200);
        QCOMPARE(sampling->Rows(), 42);
        // Right after the first sample, the tags it widened are marked.
        SavePicture(w.window.get(), QStringLiteral("page1-sampling.png"));
        QTRY_VERIFY_WITH_TIMEOUT(w.SamplesReported() >= 5, 20000);
        QCOMPARE(w.messages.Texts(), QStringList());
        // A few properties the built-in plant fixes whatever the moment.
        const int batch = RowOf(sampling, 0, QStringLiteral("Batch Description"));
        QVERIFY(batch > 0);
        QCOMPARE(sampling->TextMatrix(batch, 1), QStringLiteral("T"));
        QCOMPARE(sampling->TextMatrix(batch, 2), QStringLiteral("25"));
        QCOMPARE(sampling->TextMatrix(batch, 4), QStringLiteral("Batch 17, grade A, silo 3"));
        const int level = RowOf(sampling, 0, QStringLiteral("Tank1.Level"));
        QCOMPARE(sampling->TextMatrix(level, 1), QStringLiteral("N"));
        QCOMPARE(sampling->TextMatrix(level, 3), QStringLiteral("1"));
        w.Click("cmdNext");
        QCOMPARE(w.window->CurrentPage(), 2);
        QVERIFY(!w.Timer()->isActive());
        // No sampling tick comes any more while the Select Tags page is on show: a probe on
        // the sampling period fires three times, the sampling timer not once.
        const int samplesWhenLeft = w.window->SampleCount();
        QSignalSpy ticks(w.Timer(), &QTimer::timeout);
        QVERIFY(w.LetSamplingPeriodsPass(3));
        QCOMPARE(ticks.size(), 0);
        QCOMPARE(w.window->SampleCount(), samplesWhenLeft);
    }

    // Select Tags: clear all, then filter and choose the tags of the run.
    void selectTagsPage(E2eWizard& w) {
        FlexGrid* select = w.Grid("SelectTagsGrid");
        QCOMPARE(select->Rows(), 42);
        QCOMPARE(select->CellChecked(0, 0), CellCheck::Checked);
        const QRect allBox = select->header()->checkBoxRect(0);
        QVERIFY(allBox.isValid());
        QTest::mouseClick(select->header()->viewport(), Qt::LeftButton, {}, allBox.center());
        QCOMPARE(select->CellChecked(0, 0), CellCheck::Cleared);
        for (int r = 1; r < select->Rows(); ++r)
            QCOMPARE(select->CellChecked(r, 0), CellCheck::Cleared);

        QLineEdit* filter = w.Box("txtFilter");
        const auto choose = [&](const QString& filterText, const QStringList& names) {
            E2eWizard::Type(filter, filterText);
            for (const QString& name : names) {
                const int r = RowOf(select, 1, name);
                QVERIFY2(r > 0 && !select->RowHidden(r), qPrintable(name));
                select->ToggleCheck(r, 0);
            }
        };
        choose(QStringLiteral("tank"), Chosen.mid(0, 3));
        QCOMPARE(VisibleNames(select),
                 (QStringList{QStringLiteral("Tank1.Level"), QStringLiteral("Tank1.Temperature"),
                              QStringLiteral("Tank2.Level"), QStringLiteral("Tank2.Valve")}));
        choose(QStringLiteral("batch"), {Chosen[3]});
        choose(QStringLiteral("LONG"), {Chosen[4]});
        // A chosen row stays in sight whatever the filter.
        E2eWizard::Type(filter, QStringLiteral("Temp"));
        const QStringList visible = VisibleNames(select);
        for (const QString& name : Chosen)
            QVERIFY2(visible.contains(name), qPrintable(name));
        QVERIFY(visible.contains(QStringLiteral("Outdoor Temperature")));
        QVERIFY(!visible.contains(QStringLiteral("Kiln Speed")));
        SavePicture(w.window.get(), QStringLiteral("page2-select-tags.png"));

        // What the page shows of each chosen tag; the file must say the same.
        for (const QString& name : Chosen) {
            const int r = RowOf(select, 1, name);
            shown_.insert(name, {select->TextMatrix(r, 2), select->TextMatrix(r, 3),
                                 select->TextMatrix(r, 4)});
        }
        QCOMPARE(shown_[QStringLiteral("Tank2.Valve")].front(), QStringLiteral("T"));
        w.Click("cmdNext");
        QCOMPARE(w.messages.Texts(), QStringList());
        QCOMPARE(w.window->CurrentPage(), 3);
    }

    // Layout: three heading lines, and the first tag column dragged behind the fourth.
    void layoutPage(E2eWizard& w) {
        FlexGrid* select = w.Grid("SelectTagsGrid");
        FlexGrid* layout = w.Grid("LayoutGrid");
        QCOMPARE(layout->Cols(), 2 + int(Chosen.size()));
        // Tag names in column order, as the columns' positions say.
        const auto order = [&] {
            QStringList names;
            for (int c = 2; c < layout->Cols(); ++c)
                names << w.window->State().tags->At(layout->ColData(c)).Name();
            return names;
        };
        QCOMPARE(order(), Chosen);
        auto* maxLines = w.Find<QComboBox>("cboMaxLines");
        maxLines->setFocus();
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(maxLines, Qt::Key_Down);
        QCOMPARE(maxLines->currentText(), QStringLiteral("3"));
        const int longCol = 2 + int(Chosen.size()) - 1;
        QCOMPARE(layout->TextMatrix(0, longCol).count(QLatin1Char('\n')), 2);

        QCoreApplication::processEvents();
        QWidget* headerViewport = layout->header()->viewport();
        const QPoint from = HeadingCentre(layout, 2);
        const QPoint to = HeadingCentre(layout, 5);
        QVERIFY2(to.x() < headerViewport->width(), "the drop target is out of sight");
        QTest::mousePress(headerViewport, Qt::LeftButton, {}, from);
        QTest::mouseMove(headerViewport, from + QPoint(QApplication::startDragDistance() + 5, 0));
        QTest::mouseMove(headerViewport, to);
        QTest::mouseRelease(headerViewport, Qt::LeftButton, {}, to);
        QCOMPARE(order(), (QStringList{Chosen[1], Chosen[2], Chosen[3], Chosen[0], Chosen[4]}));
        // The headings travelled with their columns: each shows its tag's variable name, the
        // heading lines joined by "_".
        for (int c = 2; c < layout->Cols(); ++c) {
            QString variable = layout->TextMatrix(0, c);
            variable.replace(QStringLiteral("\r\n"), QStringLiteral("_"));
            variable.replace(QLatin1Char('\n'), QLatin1Char('_'));
            QCOMPARE(variable, w.window->State().tags->At(layout->ColData(c)).Variable());
            variables_ << variable;
            names_ << select->TextMatrix(layout->ColData(c), 1);
        }
        SavePicture(w.window.get(), QStringLiteral("page3-layout.png"));
        w.Click("cmdNext");
        QCOMPARE(w.window->CurrentPage(), 4);
    }

    // Generate: title, Save As answered with a temporary path, Finish.
    void generatePage(E2eWizard& w) {
        E2eWizard::Type(w.Box("txtTitle"), QStringLiteral("Plant Overview"));
        const QString path =
            QDir::toNativeSeparators(files_.filePath(QStringLiteral("Plant Overview.SVT")));
        path_ = path;
        w.saveDialog.answer = path;
        w.Click("cmdSaveAs");
        QCOMPARE(w.saveDialog.requests.size(), size_t(1));
        QCOMPARE(w.Box("txtFilename")->text(), path);
        QVERIFY(w.Button("cmdFinish")->isEnabled());
        SavePicture(w.window.get(), QStringLiteral("page4-generate.png"));
        w.Click("cmdFinish");
        QCOMPARE(w.messages.Texts(), QStringList{QStringLiteral("SV Application '") + path +
                                                 QStringLiteral("' has been created.")});
        QVERIFY(!E2eWizard::BusyPointerShown());
    }

    // The saved file holds what the pages showed.
    void fileHoldsWhatThePagesShowed(E2eWizard&) {
        const Application app = Application::LoadFromFile(path_);
        QCOMPARE(app.Title(), QStringLiteral("Plant Overview"));
        const auto& vars = app.Variables();
        QCOMPARE(int(vars.size()), 2 + int(Chosen.size()));
        // The Date and Time columns come first (their fields are test_builder's).
        QCOMPARE(vars[0].Name(), QStringLiteral("Date"));
        QCOMPARE(vars[1].Name(), QStringLiteral("Time"));
        for (int i = 0; i < int(Chosen.size()); ++i) {
            const ApplicationVariable& v = vars[size_t(2 + i)];
            QCOMPARE(v.Name(), variables_[i]);
            const QStringList fields{v.FieldType(), QString::number(v.Length()),
                                     QString::number(v.Decimals())};
            QCOMPARE(fields, shown_[names_[i]]);
            QCOMPARE(v.Link().value_or(QString()), TcpPrefix() + names_[i]);
            QCOMPARE(v.Code().value_or(QString()), QStringLiteral("P"));
        }
#ifdef Q_OS_WIN
        // The file the Windows wizard wrote is good for the Linux programs too.
        const QString unixPath = UnixPath(path_);
        QVERIFY(!unixPath.isEmpty());
        const LinuxRun check =
            RunLinuxProgram(QStringLiteral("sv6admin.exe"),
                            {QStringLiteral("--check"), QLatin1Char('@') + unixPath});
        QVERIFY2(check.exitCode == 0, qPrintable(check.output));
#endif
    }

    // Preview, then the saved file in sv6.exe and sv6admin.exe.
    void previewAndOpen(E2eWizard& w) {
        // Preview with the real tool object and sv6.exe, which closes itself after two polls
        // and leaves a picture of its log sheet. The temporary application goes to a folder
        // of this test so that its removal can be checked.
        QTemporaryDir temp;
        QVERIFY(temp.isValid());
        const QString sheet = TestOutputFolder() + QStringLiteral("/e2e/preview-sv6.png");
        QFile::remove(sheet);
        // The SV6 variables speak only to the programs the window starts.
        qputenv("SV6_EXIT_AFTER_POLLS", "2");
        qputenv("SV6_POLL_INTERVAL_MS", "100");
        qputenv("SV6_SCREENSHOT", QFile::encodeName(sheet));
        {
            const TempFolderOverride tempFolder(temp.path());
            QCOMPARE(QFileInfo(QDir::tempPath()).canonicalFilePath(),
                     QFileInfo(temp.path()).canonicalFilePath());
            w.Click("cmdPreview");
        }
        QCOMPARE(w.messages.Texts().size(), 1);
        QVERIFY(w.window->isVisible());
        QVERIFY(w.Button("cmdPreview")->isEnabled());
        QVERIFY(!E2eWizard::BusyPointerShown());
        QVERIFY2(QFile::exists(sheet), "sv6.exe did not show the preview");
        QCOMPARE(QDir(temp.path()).entryList(QDir::Files | QDir::Hidden), QStringList());

        // The saved file in sv6.exe and in sv6admin.exe; each leaves a picture and ends.
        const QString adminSheet = TestOutputFolder() + QStringLiteral("/e2e/admin-sv6admin.png");
        const QString openSheet = TestOutputFolder() + QStringLiteral("/e2e/open-sv6.png");
        QFile::remove(adminSheet);
        QFile::remove(openSheet);
        qputenv("SV6_EXIT_AFTER_POLLS", "1");
        qputenv("SV6_SCREENSHOT", QFile::encodeName(openSheet));
        qputenv("SV6ADMIN_SCREENSHOT", QFile::encodeName(adminSheet));
        w.Click("cmdOpenSV");
        QVERIFY(w.window->isVisible());
        QVERIFY(w.Button("cmdOpenSV")->isEnabled());
        w.Click("cmdOpenSVAdmin");
        QVERIFY(w.window->isVisible());
        QVERIFY(w.Button("cmdOpenSVAdmin")->isEnabled());
        QCOMPARE(w.messages.Texts().size(), 1);
        QVERIFY2(QFile::exists(openSheet), "sv6.exe did not open the saved application");
        QVERIFY2(QFile::exists(adminSheet), "sv6admin.exe did not open the saved application");
        QVERIFY(QFile::exists(path_));
    }

    QString TcpPrefix() const {
        return hub_.TcpPrefix();
    }

    HubProcess hub_;
    QTemporaryDir files_;
    QHash<QString, QStringList> shown_; // type, length and decimals shown, by tag name
    QStringList variables_;             // variable names in column order
    QStringList names_;                 // tag names in column order
    QString path_;                      // the saved application
};

QTEST_MAIN(TestE2eRoad)
#include "test_e2e_road.moc"
