// The two front ends admit jobs by one rule: each job of a shared table, written as a preset, is
// given to vtconvert (--preset, --dry-run) and to the wizard (loaded on its options page, then
// START), and both must give the same answer (accepted, or refused with the same text) and the
// same plan.

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include "app/wizard/effects_page.h"
#include "app/wizard/job_options.h"
#include "app/wizard/wizard.h"
#include "base/utf.h"
#include "platform/ui_hooks.h"
#include "session/session.h"
#include "tests/support/temp_folder.h"

namespace vt::app {
namespace {

QStringList g_boxes;
platform::MessageAnswer note_box(std::u16string_view text, std::u16string_view,
                                 platform::MessageButtons b, platform::MessageIcon) {
    g_boxes << QString::fromStdU16String(std::u16string(text));
    return platform::default_answer(b);
}

struct Answer {
    bool accepted = false;
    QString text;     // the refusal: the first line the user reads
    QStringList plan; // "target (action)" per planned file
};

struct Tree {
    test::TempFolder root;
    std::string src() const { return root.path() + "/src"; }
    std::string dst() const { return root.path() + "/dst"; }
    void file(const std::string& path, const std::string& text = "x") const {
        const QString full = QString::fromStdString(root.path() + "/" + path);
        QDir().mkpath(QFileInfo(full).path());
        std::ofstream(full.toStdString()) << text;
    }
};

struct Case {
    const char* name;
    bool accepted;
    const char* preset; // lines after the folders and ".pnm"; $SRC and $DST are replaced
    std::function<void(Tree&)> setup;
};

void mkdir(const std::string& path) {
    QDir().mkpath(QString::fromStdString(path));
}

const std::vector<Case>& cases() {
    static const std::vector<Case> table = {
        {"plain", true, "", {}},
        {"no format", false, "targetExtension = \"\"", {}},
        {"format nobody writes", false, "targetExtension = \".xyz\"", {}},
        {"rename without name or number", false, "rename = 1\nrenamePattern = \"%w x %h\"", {}},
        {"rename by number", true, "rename = 1\nrenamePattern = \"%nn\"", {}},
        {"rename waits for the size", true, "rename = 1\nrenamePattern = \"%s_%wx%h\"", {}},
        {"rename lower case", true, "rename = 1\nrenamePattern = \"IMG_%s\"\nlowercase = 1", {}},
        {"replace from nothing",
         false,
         "rename = 1\nrenamePattern = \"%s\"\nreplaceText = 1\nreplaceFrom = \"\"",
         {}},
        {"replace blanks",
         true,
         "rename = 1\nrenamePattern = \"%nn - %s\"\nreplaceText = 1\nreplaceFrom = \" \"\n"
         "replaceTo = \"_\"",
         {}},
        {"resize a box it would ignore",
         false,
         "resizeMode = 1\nresizeWidth = 80\nresizeHeight = 0",
         {}},
        {"resize without a width",
         false,
         "resizeMode = 3\nresizeWidth = 0\nresizeHeight = 600",
         {}},
        {"resize a box", true, "resizeMode = 3\nresizeWidth = 800\nresizeHeight = 600", {}},
        {"no resize, any box", true, "resizeMode = 0\nresizeWidth = 0\nresizeHeight = 0", {}},
        {"rotation out of range", false, "rotationMode = 7", {}},
        {"denoise out of range", false, "denoiseRadius = 12", {}},
        {"missing watermark", false, "watermarkFile = \"$SRC/none.png\"", {}},
        {"watermark", true, "watermarkFile = \"$SRC/a.pnm\"", {}},
        {"missing source", false, "sourceFolder = \"$SRC/none\"", {}},
        {"empty source", false, "",
         [](Tree& t) {
             std::remove((t.src() + "/a.pnm").c_str());
             std::remove((t.src() + "/b.pgm").c_str());
             std::remove((t.src() + "/sub/c.pnm").c_str());
             std::remove((t.src() + "/sub").c_str());
         }},
        {"only a sub-folder, not walked", false, "",
         [](Tree& t) {
             std::remove((t.src() + "/a.pnm").c_str());
             std::remove((t.src() + "/b.pgm").c_str());
         }},
        {"target is the source", false, "targetFolder = \"$SRC\"", {}},
        {"target is a file", false, "targetFolder = \"$SRC/a.pnm\"", {}},
        {"target holds files", false, "", [](Tree& t) { t.file("dst/old.txt"); }},
        {"target holds files, overwrite", true, "overwrite = 1",
         [](Tree& t) { t.file("dst/a.pnm"); }},
        {"existing targets skipped", true, "existing = skip", [](Tree& t) { t.file("dst/a.pnm"); }},
        {"existing targets kept both", true, "existing = keep-both",
         [](Tree& t) { t.file("dst/a.pnm"); }},
        {"two sources, one target", false, "", [](Tree& t) { t.file("src/a.ppm"); }},
        {"two sources, kept both", true, "existing = keep-both",
         [](Tree& t) { t.file("src/a.ppm"); }},
        {"sub-folders", true, "includeSubfolders = 1", {}},
        {"share 0 of 2", true, "includeSubfolders = 1\nshardIndex = 0\nshardCount = 2", {}},
        {"share 1 of 2", true, "includeSubfolders = 1\nshardIndex = 1\nshardCount = 2", {}},
        {"share beyond the count", false, "shardIndex = 3\nshardCount = 2", {}},
        {"resume from no report yet", true, "resumeFile = \"$DST/report.jsonl\"", {}},
        {"resume from a folder", false, "resumeFile = \"$SRC/sub\"", {}},
        {"unknown key", false, "colour = 3", {}},
        {"plug-in option that does not exist", false, "plugin fmx_NOPE.quality = 3", {}},
        {"escape by rename", false, "rename = 1\nrenamePattern = \"../../x_%s\"", {}},
        {"escape by replacement",
         false,
         "rename = 1\nrenamePattern = \"%s\"\nreplaceText = 1\nreplaceFrom = \"a\"\n"
         "replaceTo = \"../x\"",
         {}},
    };
    return table;
}

std::string preset_text(const Case& c, const Tree& t) {
    std::string text = "sourceFolder = \"$SRC\"\ntargetFolder = \"$DST\"\n"
                       "targetExtension = \".pnm\"\n" +
                       std::string(c.preset) + "\n";
    for (const auto& [from, to] : {std::pair{std::string("$SRC"), t.src()}, {"$DST", t.dst()}})
        for (std::size_t at; (at = text.find(from)) != std::string::npos;)
            text.replace(at, from.size(), to);
    return text;
}

Answer through_vtconvert(const std::string& preset) {
    QProcess run;
    run.start(QStringLiteral(VT_BIN_DIR "/vtconvert"),
              {"--dry-run", "--preset", QString::fromStdString(preset)});
    run.waitForFinished(60000);
    Answer a;
    a.accepted = run.exitCode() == 0;
    for (const QString& line : QString::fromUtf8(run.readAllStandardOutput()).split('\n')) {
        const auto arrow = line.indexOf(QStringLiteral(" -> "));
        if (arrow > 0)
            a.plan << line.mid(arrow + 4);
    }
    const QString err = QString::fromUtf8(run.readAllStandardError());
    a.text = err.section('\n', 0, 0).remove(QStringLiteral("vtconvert: "));
    return a;
}

Answer through_wizard(const std::string& preset) {
    engine::ConversionJob job = engine::default_job();
    Answer a;
    g_boxes.clear();
    {
        auto page = make_wizard_page(7, job, nullptr, [] {});
        QString error;
        if (!page->findChild<JobOptionsBox*>()->loadPreset(QString::fromStdString(preset), error)) {
            a.text = error;
            return a;
        }
    }
    auto page = make_wizard_page(8, job, nullptr, [] {});
    page->show();
    page->setResult(-1);
    page->nextButton()->click();
    auto prepared = static_cast<SummaryPage&>(*page).takePrepared();
    a.accepted = prepared.has_value();
    if (!prepared) {
        a.text = g_boxes.value(0).section('\n', 0, 0);
        return a;
    }
    for (const engine::PlannedFile& f : prepared->plan().files)
        a.plan << QString::fromStdU16String(f.target) + QStringLiteral("  (") +
                      QString::fromLatin1(engine::action_name(f.action)) +
                      (f.named_later ? QStringLiteral(", named after processing)")
                                     : QStringLiteral(")"));
    return a;
}

class DoorTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        platform::UiHooks hooks;
        hooks.message_box = note_box;
        platform::set_ui_hooks(hooks);
    }

    void sameAnswerAndPlanFromBothFrontEnds() {
        QVERIFY(cases().size() >= 30);
        for (const Case& c : cases()) {
            const QByteArray name(c.name);
            // Each front end gets a tree of its own: the wizard's START creates the target.
            Answer answers[2];
            for (int side = 0; side < 2; ++side) {
                Tree t;
                mkdir(t.src() + "/sub");
                t.file("src/a.pnm");
                t.file("src/b.pgm");
                t.file("src/sub/c.pnm");
                if (c.setup)
                    c.setup(t);
                const std::string preset = t.root.path() + "/job.vtpreset";
                std::ofstream(preset) << preset_text(c, t);
                answers[side] = side == 0 ? through_vtconvert(preset) : through_wizard(preset);
                // Plans and texts name the tree of their own run: compare them relative to it.
                const QString root = QString::fromStdString(t.root.path());
                answers[side].plan.replaceInStrings(root, QStringLiteral("<root>"));
                answers[side].text.replace(root, QStringLiteral("<root>"));
            }
            const Answer& cli = answers[0];
            const Answer& wizard = answers[1];
            QVERIFY2(cli.accepted == c.accepted, name + ": vtconvert: " + cli.text.toUtf8());
            QVERIFY2(wizard.accepted == c.accepted, name + ": wizard: " + wizard.text.toUtf8());
            if (!c.accepted) {
                QVERIFY2(!wizard.text.isEmpty() && cli.text.contains(wizard.text),
                         name + ": " + cli.text.toUtf8() + " | " + wizard.text.toUtf8());
            }
            QVERIFY2(cli.plan == wizard.plan, name + ": " + cli.plan.join('|').toUtf8() + " | " +
                                                  wizard.plan.join('|').toUtf8());
        }
    }
};

} // namespace
} // namespace vt::app

int main(int argc, char** argv) {
    vt::test::TempFolder data;
    setenv("VANTREL_DATA_ROOT", data.path().c_str(), 1);
    std::vector<char*> args; // ctest's GoogleTest flags are not Qt Test's
    for (int i = 0; i < argc; ++i)
        if (std::string(argv[i]).rfind("--gtest", 0) != 0)
            args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    QApplication app(count, args.data());
    const vt::session::Session session;
    vt::app::DoorTest test;
    return QTest::qExec(&test, count, args.data());
}

#include "door_test.moc"
