// The whole road in the real program: quillmere copied into a fresh run
// folder, started on Qt's offscreen platform with the driver plugin, used
// through its controls against the local share service.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "tests/e2e/program_run.h"
#include "tests/share_service/share_service.h"
#include "tests/support/zip_builder.h"

using namespace qm::test;

namespace {

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray Bytes(const std::string& s) { return QByteArray(s.data(), static_cast<qsizetype>(s.size())); }

const Box kDone{"更新完毕", "恭喜您，本次更新完毕！"};

}  // namespace

class EndToEndTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    QVERIFY(scratch_.isValid());
    // The run folder sits two levels down, so that an escape upwards shows.
    runFolder_ = scratch_.filePath("a/b/run");
  }

  void cleanup() { QDir(scratch_.filePath("a")).removeRecursively(); }

  void zipShareIsSavedUnpackedAndReported() {
    const std::string archive = BuildZip({ZipFile("readme.txt", "read me\n"), ZipFolder("docs/"),
                                          ZipFile("docs/guide.txt", std::string(5000, 'g'))});
    const std::string share = service_.Share({"pack.zip", archive});
    ProgramRun program(runFolder_);
    QVERIFY(program.Started());
    QCOMPARE(program.Text("编辑框2"), QString("quillmere.example"));

    QVERIFY(ResolveAndDownload(program, share));
    QCOMPARE(program.AcceptNextBox(), (Box{kDone.title, kDone.text + " 1"}));
    QCOMPARE(program.Get("进度条1")["value"].toInt(), 10000);
    QCOMPARE(program.Text("透明标签2"), QString("进度：100%"));
    QVERIFY(program.Text("透明标签1").startsWith("Size：") && program.Text("透明标签1").endsWith(" MB"));
    program.Click("按钮3");
    QCOMPARE(program.WaitForExit(), 0);

    QCOMPARE(program.Boxes().size(), 1);
    QCOMPARE(ReadAll(runFolder_ + "/pack.zip"), Bytes(archive));
    QCOMPARE(ReadAll(runFolder_ + "/pack/readme.txt"), QByteArray("read me\n"));
    QCOMPARE(ReadAll(runFolder_ + "/pack/docs/guide.txt"), QByteArray(5000, 'g'));
  }

  void plainShareIsSavedUnderItsChineseName() {
    const std::string share = service_.Share({"说明.txt", "plain text"});
    ProgramRun program(runFolder_);
    QVERIFY(program.Started());
    QVERIFY(ResolveAndDownload(program, share));
    QCOMPARE(program.AcceptNextBox(), kDone);
    program.Click("按钮3");
    QCOMPARE(program.WaitForExit(), 0);
    QCOMPARE(ReadAll(runFolder_ + "/说明.txt"), QByteArray("plain text"));
    QCOMPARE(QDir(runFolder_).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 2);
  }

  void removedShareSaysResolveFailed() {
    const std::string share = service_.Share({"gone.zip", "x", ShareScenario::kNoFrame});
    ProgramRun program(runFolder_);
    QVERIFY(program.Started());
    program.Type("编辑框1", QString::fromStdString(share));
    program.Click("按钮1");
    QCOMPARE(program.AcceptNextBox(), (Box{"信息：", "解析失败"}));
    QCOMPARE(program.Text("编辑框2"), QString("quillmere.example"));
    program.Click("按钮3");
    QCOMPARE(program.WaitForExit(), 0);
    QCOMPARE(program.Boxes().size(), 1);
  }

  void downloadBreakingHalfwayKeepsTheEarlierFile() {
    QDir().mkpath(runFolder_);
    QFile earlier(runFolder_ + "/data.bin");
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("the earlier file");
    earlier.close();
    const std::string share = service_.Share({"data.bin", std::string(200000, 'd'), ShareScenario::kBreaksHalfway});
    ProgramRun program(runFolder_);
    QVERIFY(program.Started());
    QVERIFY(ResolveAndDownload(program, share));
    QCOMPARE(program.AcceptNextBox(), (Box{"信息：", "下载失败!"}));
    program.Click("按钮3");
    QCOMPARE(program.WaitForExit(), 0);
    QCOMPARE(program.Boxes().size(), 1);  // no completion message
    QCOMPARE(ReadAll(runFolder_ + "/data.bin"), QByteArray("the earlier file"));
  }

  void fileNameThatTriesToLeaveTheFolderStaysInside() {
    const std::string share = service_.Share({"../../evil.txt", "payload"});
    ProgramRun program(runFolder_);
    QVERIFY(program.Started());
    QVERIFY(ResolveAndDownload(program, share));
    QCOMPARE(program.AcceptNextBox(), kDone);
    program.Click("按钮3");
    QCOMPARE(program.WaitForExit(), 0);
    QVERIFY(!QFile::exists(scratch_.filePath("a/evil.txt")));
    QVERIFY(!QFile::exists(scratch_.filePath("evil.txt")));
    const QStringList saved = QDir(runFolder_).entryList({"*evil.txt"}, QDir::Files | QDir::Hidden);
    QCOMPARE(saved.size(), 1);
    QCOMPARE(ReadAll(runFolder_ + "/" + saved.front()), QByteArray("payload"));
  }

  void zipWithATraversalEntryUnpacksTheRestAndSaysZero() {
    const std::string archive = BuildZip({ZipFile("../../outside.txt", "escaped"), ZipFile("ok.txt", "fine")});
    const std::string share = service_.Share({"mixed.zip", archive});
    ProgramRun program(runFolder_);
    QVERIFY(program.Started());
    QVERIFY(ResolveAndDownload(program, share));
    QCOMPARE(program.AcceptNextBox(), (Box{kDone.title, kDone.text + " 0"}));
    program.Click("按钮3");
    QCOMPARE(program.WaitForExit(), 0);
    QCOMPARE(ReadAll(runFolder_ + "/mixed/ok.txt"), QByteArray("fine"));
    QVERIFY(!QFile::exists(scratch_.filePath("a/b/outside.txt")));
    QVERIFY(!QFile::exists(scratch_.filePath("a/outside.txt")));
    QVERIFY(!QFile::exists(runFolder_ + "/outside.txt"));
  }

 private:
  // Pastes the share address, resolves it, and starts the download once the
  // direct address shows.
  bool ResolveAndDownload(ProgramRun& program, const std::string& share) {
    program.Type("编辑框1", QString::fromStdString(share));
    program.Click("按钮1");
    if (!program.WaitForText("编辑框2", QString::fromStdString(service_.DirectAddress(share)))) return false;
    program.Click("按钮2");
    return true;
  }

  ShareService service_;
  QTemporaryDir scratch_;
  QString runFolder_;
};

QTEST_GUILESS_MAIN(EndToEndTest)
#include "e2e_test.moc"
