// Confirm and Apply against the fake wrapper, which answers from a thread of its own, with time
// on the manual scheduler.
#include "gui/NicSelectDialog.h"
#include "gui/ProgressDialog.h"
#include "tests/gui/support/MainWindowDriver.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QListWidget>
#include <QTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <gtest/gtest.h>

namespace {

using D = MainWindowDriver;

const NicEntry kEth0{"eth0", "00:11:22:33:44:55", "192.168.1.10"};
const NicEntry kEth1{"eth1", "66:77:88:99:AA:BB", "10.0.0.5"};
const QString kDetected = "Device detection successful.\nPlease press the Apply button to apply settings.\n";
const QString kFailed = "Failed to apply settings.\nPlease check your device status.\n";
const QString kSucceed = "Apply succeed.\n";
const QString kAborted = "Apply aborted.\n";
const QString kPlanBad = "Failed to read the settings file.\nPlease check the contents of the \"QZVeltoPatch.json\" file.";
const QString kNoDevice = "Failed to communicate with the device.\nCheck the state of the devices.\n";

std::vector<wfa_patch_entry> unpatched(int n)
{
    return std::vector<wfa_patch_entry>(static_cast<size_t>(n), wfa_patch_entry{"", 0xFFFF});
}

// A plan entry: receive channel `rx` fed by channel `tx` of unit `id` of `model`.
QString entry(int rx, int tx, int id, const char *model)
{
    return QString::asprintf(R"({"rxCh": %d, "txCh": %d, "id": %d, "devType": "%s"})", rx, tx, id, model);
}
QString device(int id, const char *model, const QStringList &entries)
{
    return QString::asprintf(R"({"id": %d, "devType": "%s", "rxChs": [)", id, model) + entries.join(", ") + "]}";
}
QByteArray plan(const QStringList &devices)
{
    return (R"({"devs": [)" + devices.join(",\n") + "]}").toUtf8();
}

// The sample installation's plan, with one more entry naming an RQA-310 that is not wanted.
QByteArray filteredPlan()
{
    return plan({device(1, "KTV4-S",
                        {entry(1, 1, 1, "RQA-310"), entry(2, 2, 1, "RQA-310"), entry(3, 1, 2, "RQA-310"),
                         entry(4, 2, 2, "RQA-310"), entry(5, 1, 3, "RQA-310")}),
                 device(1, "RQA-310", {entry(1, 1, 1, "KTV4-S"), entry(2, 2, 1, "KTV4-S")}),
                 device(2, "RQA-310", {entry(1, 3, 1, "KTV4-S"), entry(2, 4, 1, "KTV4-S")}),
                 device(3, "RQA-310", {entry(1, 5, 1, "KTV4-S")})});
}

// A window in its ready state with an environment of its own; by default it wants one KTV4-S
// and two RQA-310 units in area 1 and paces Apply by 500 ms. With `realExit` the window ends the
// application's event loop itself instead of reporting its exit code to the environment.
class Installation {
public:
    explicit Installation(int interval = 500, const QByteArray &patchPlan = QByteArray(),
                          const QList<int> &counts = {1, 2, 8, 8, 8}, bool realExit = false)
    {
        env.writeSampleFiles();
        if (!patchPlan.isEmpty())
            env.writeFile("QZVeltoPatch.json", patchPlan);
        env.writeFile("QZSetting.json", QString::asprintf(R"({"sendInterval": %d})", interval).toUtf8());
        auto s = env.settings();
        const char *keys[] = {"DEVICE/KTV4S", "DEVICE/Area1", "DEVICE/Area2", "DEVICE/Area3", "DEVICE/Area4"};
        for (int i = 0; i < 5; ++i)
            s->setValue(QLatin1String(keys[i]), counts.at(i));
        s->sync();
        AppServices services = env.services();
        if (realExit)
            services.exitEventLoop = nullptr;
        drive.create(services);
        drive.startUp({kEth0}, kEth0);
    }

    ProbeWindow &w() { return *drive.window; }
    // The three units found, and Confirm pressed.
    void confirm()
    {
        drive.addDevice(D::ktvName(1), "KTV4-S");
        drive.addDevice(D::rqaName(1), "RQA-310");
        drive.addDevice(D::rqaName(2), "RQA-310");
        button("confirmPushButton")->click();
        EXPECT_TRUE(w().isConfirmed());
        EXPECT_TRUE(button("applyPushButton")->isEnabled());
        env.wrapper->clearCalls();
    }
    void apply() { button("applyPushButton")->click(); }
    // Answers the three preferred-master commands and waits for the clear step.
    void throughPreferredMaster()
    {
        drive.answerPreferredMaster(D::ktvName(1), 0);
        drive.answerPreferredMaster(D::rqaName(1), 0);
        drive.answerPreferredMaster(D::rqaName(2), 0);
        env.scheduler.advance(3000);
    }
    // Answers the batch in flight for `name` and lets the pacing pass.
    void answerAndPace(const std::string &name, unsigned short status = 0)
    {
        drive.answerBatch(name, status);
        env.scheduler.advance(w().interval());
    }
    // Answers the clear commands of the three units with `statuses`.
    void clearAll(const std::vector<unsigned short> &statuses = {0, 0, 0})
    {
        answerAndPace(D::ktvName(1), statuses[0]);
        answerAndPace(D::rqaName(1), statuses[1]);
        drive.answerBatch(D::rqaName(2), statuses[2]);
    }
    // Answers every patch command until the patch step ends.
    void patchAll()
    {
        for (int i = 0; i < 3 && w().step() == 3; ++i)
            answerAndPace(batches().back().device);
    }

    QPushButton *button(const char *name) { return w().findChild<QPushButton *>(QLatin1String(name)); }
    QAction *networkList() { return w().findChild<QAction *>(QStringLiteral("actionNetwork_List")); }
    void abort() { w().progress()->findChild<QPushButton *>(QStringLiteral("abortButton"))->click(); }
    std::vector<WrapperCall> batches() const { return env.wrapper->callsOf("setBatchPatch"); }
    std::vector<std::string> batchDevices() const
    {
        std::vector<std::string> out;
        for (const WrapperCall &c : batches())
            out.push_back(c.device);
        return out;
    }
    int progressValue() { return w().progress() ? w().progress()->progressBar()->value() : -1; }
    QString log() const { return drive.logText(); }

    GuiTestEnvironment env;
    MainWindowDriver drive{env};
};

void deleteLater()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// ---- Confirm ----

TEST(Confirm, WantedKeysFollowTheCounts)
{
    Installation s;
    ProbeWindow &w = s.w();
    const struct {
        int ktv, a1, a2, a3, a4;
        int size;
        QStringList head;
        QString last;
    } cases[] = {
        {1, 2, 1, 1, 1, 3, {"001:KTV4-S", "001:RQA-310", "002:RQA-310"}, "002:RQA-310"},
        {4, 25, 24, 24, 24, 4 + 25 + 72, {"001:KTV4-S", "002:KTV4-S", "003:KTV4-S", "004:KTV4-S", "001:RQA-310"},
         "061:RQA-310"},
        {2, 3, 2, 5, 5, 2 + 3 + 2, {"001:KTV4-S", "002:KTV4-S", "001:RQA-310", "002:RQA-310", "003:RQA-310", "01A:RQA-310"},
         "01B:RQA-310"},
        {3, 2, 1, 1, 9, 3 + 2 + 1 + 1, {"001:KTV4-S", "002:KTV4-S", "003:KTV4-S", "001:RQA-310", "002:RQA-310",
                                        "01A:RQA-310", "032:RQA-310"}, "032:RQA-310"},
    };
    for (const auto &c : cases) {
        w.findChild<QSpinBox *>("ktv4sSpinBox")->setValue(c.ktv);
        w.findChild<QSpinBox *>("area1SpinBox")->setValue(c.a1);
        w.findChild<QSpinBox *>("area2SpinBox")->setValue(c.a2);
        w.findChild<QSpinBox *>("area3SpinBox")->setValue(c.a3);
        w.findChild<QSpinBox *>("area4SpinBox")->setValue(c.a4);
        const QStringList keys = w.wantedKeys();
        EXPECT_EQ(keys.size(), c.size) << c.ktv << "/" << c.a1;
        EXPECT_EQ(keys.mid(0, c.head.size()), c.head) << c.ktv << "/" << c.a1;
        EXPECT_EQ(keys.last(), c.last) << c.ktv << "/" << c.a1;
        QStringList unique = keys;
        EXPECT_EQ(unique.removeDuplicates(), 0);
    }
    // The first and last ids of the areas: 1-25, 26-49, 50-73, 74-97.
    w.findChild<QSpinBox *>("ktv4sSpinBox")->setValue(4);
    for (const char *area : {"area1SpinBox", "area2SpinBox", "area3SpinBox", "area4SpinBox"})
        w.findChild<QSpinBox *>(area)->setValue(w.findChild<QSpinBox *>(area)->maximum());
    const QStringList all = w.wantedKeys();
    for (const char *key : {"019:RQA-310", "01A:RQA-310", "031:RQA-310", "032:RQA-310", "049:RQA-310", "04A:RQA-310"})
        EXPECT_TRUE(all.contains(QLatin1String(key))) << key;
}

TEST(Confirm, TheConnectedDevicesAreCheckedAgainstTheCounts)
{
    Installation s(500, QByteArray(), {4, 25, 24, 24, 24});
    // Every wanted device, and one extra.
    for (int unit = 1; unit <= 4; ++unit)
        s.drive.addDevice(D::ktvName(unit), "KTV4-S");
    for (int unit = 1; unit <= 98; ++unit)
        s.drive.addDevice(D::rqaName(unit), "RQA-310");
    s.button("confirmPushButton")->click();
    EXPECT_TRUE(s.log().endsWith(kDetected));
    EXPECT_TRUE(s.button("applyPushButton")->isEnabled());
    EXPECT_TRUE(s.w().isConfirmed());
    EXPECT_TRUE(s.networkList()->isEnabled());

    // A disconnected device and two absent ones are missing; one entry names all three.
    s.drive.setConnected(D::rqaName(26), false);
    s.drive.report([](IVeltoNotify &notify) {
        notify.notifyDeviceRemoved(D::ktvName(4));
        notify.notifyDeviceRemoved(D::rqaName(97));
    });
    s.button("confirmPushButton")->click();
    const QString missing = "Could not detect device.\nPlease check the connection of the following device.\n"
                            "UnitID : 4 Model : KTV4-S\nUnitID : 26 Model : RQA-310\nUnitID : 97 Model : RQA-310\n";
    EXPECT_TRUE(s.log().endsWith(kDetected + "\n" + missing)) << s.log().right(300).toStdString();
    EXPECT_FALSE(s.button("applyPushButton")->isEnabled());
    EXPECT_TRUE(s.w().isConfirmed()) << "a failed Confirm leaves the earlier one";
    EXPECT_TRUE(s.networkList()->isEnabled());
}

TEST(Confirm, UnitIdsAreReadAsHexadecimal)
{
    Installation s;
    s.drive.addDevice("T00A-QZ-KTV4-S-1", "KTV4-S");
    s.drive.addDevice("t00a-QZ-RQA-310-1", "RQA-310");
    s.drive.addDevice("X001-QZ-RQA-310-1", "RQA-310"); // no unit id: unit 0
    QStringList found;
    ASSERT_TRUE(s.w().foundKeys(found));
    found.sort();
    EXPECT_EQ(found, QStringList({"000:RQA-310", "00A:KTV4-S", "00A:RQA-310"}));
    EXPECT_FALSE(s.w().check({"00A:KTV4-S", "001:RQA-310", "010:KTV4-S"}, found));
    EXPECT_TRUE(s.log().endsWith("UnitID : 1 Model : RQA-310\nUnitID : 16 Model : KTV4-S\n"));
    EXPECT_TRUE(s.w().check({"00A:KTV4-S"}, found));
}

// ---- Apply ----

TEST(Apply, OneKtvAndTwoRqaFromPreferredMasterToSuccess)
{
    Installation s(500, filteredPlan());
    ProbeWindow &w = s.w();
    GuiTestEnvironment &env = s.env;
    s.confirm();
    const size_t requestsBefore = env.scheduler.requests().size();

    s.apply();
    EXPECT_EQ(w.step(), 1);
    EXPECT_FALSE(s.button("applyPushButton")->isEnabled());
    EXPECT_FALSE(s.networkList()->isEnabled());
    // Preferred master: KTV4-S unit 1 first and preferred, each next one as soon as the answer came.
    for (const auto &[name, preferred] : std::vector<std::pair<std::string, bool>>{
             {D::ktvName(1), true}, {D::rqaName(1), false}, {D::rqaName(2), false}}) {
        const auto calls = env.wrapper->callsOf("setPreferredMaster");
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().device, name);
        EXPECT_EQ(calls.back().flag, preferred) << name;
        EXPECT_EQ(env.scheduler.requests().size(), requestsBefore) << "not paced";
        s.drive.answerPreferredMaster(name, 0);
    }
    EXPECT_EQ(env.wrapper->callsOf("setPreferredMaster").size(), 3u);
    EXPECT_EQ(env.scheduler.requests().back().delay, 3000);
    env.scheduler.advance(2999);
    EXPECT_TRUE(s.batches().empty());
    EXPECT_EQ(w.progress(), nullptr);

    // Clear step: every device, KTV4-S first, paced by "sendInterval" after each answer.
    env.scheduler.advance(1);
    EXPECT_EQ(w.step(), 2);
    ASSERT_NE(w.progress(), nullptr);
    EXPECT_TRUE(w.progress()->isVisible());
    EXPECT_EQ(w.progress()->progressBar()->maximum(), 6);
    EXPECT_EQ(s.progressValue(), 0);
    ASSERT_EQ(s.batches().size(), 1u);
    EXPECT_EQ(s.batches()[0].device, D::ktvName(1));
    EXPECT_EQ(s.batches()[0].count, 64);
    EXPECT_EQ(s.batches()[0].entries, unpatched(64));

    s.drive.answerBatch(D::ktvName(1), 2); // handed over: the final answer follows
    EXPECT_EQ(s.progressValue(), 0);
    s.drive.answerBatch(D::ktvName(1), 0);
    EXPECT_EQ(s.progressValue(), 1);
    EXPECT_EQ(env.scheduler.requests().back().delay, 500);
    env.scheduler.advance(499);
    EXPECT_EQ(s.batches().size(), 1u);
    env.scheduler.advance(1);
    ASSERT_EQ(s.batches().size(), 2u);
    EXPECT_EQ(s.batches()[1].device, D::rqaName(1));
    EXPECT_EQ(s.batches()[1].entries, unpatched(2));
    s.answerAndPace(D::rqaName(1));
    EXPECT_EQ(s.batchDevices().back(), D::rqaName(2));
    s.drive.answerBatch(D::rqaName(2), 0);
    EXPECT_EQ(s.progressValue(), 3);

    // Patch step: at once after the last clear answer; the entry naming an unwanted device is dropped.
    EXPECT_EQ(w.step(), 3);
    ASSERT_EQ(s.batches().size(), 4u);
    std::vector<wfa_patch_entry> ktvPatch = unpatched(64);
    ktvPatch[0] = {D::rqaName(1), 1};
    ktvPatch[1] = {D::rqaName(1), 2};
    ktvPatch[2] = {D::rqaName(2), 1};
    ktvPatch[3] = {D::rqaName(2), 2};
    EXPECT_EQ(s.batches()[3].device, D::ktvName(1));
    EXPECT_EQ(s.batches()[3].count, 64);
    EXPECT_EQ(s.batches()[3].entries, ktvPatch);
    s.answerAndPace(D::ktvName(1));
    ASSERT_EQ(s.batches().size(), 5u);
    EXPECT_EQ(s.batches()[4].device, D::rqaName(1));
    EXPECT_EQ(s.batches()[4].entries, (std::vector<wfa_patch_entry>{{D::ktvName(1), 1}, {D::ktvName(1), 2}}));
    s.answerAndPace(D::rqaName(1));
    ASSERT_EQ(s.batches().size(), 6u);
    EXPECT_EQ(s.batches()[5].device, D::rqaName(2));
    EXPECT_EQ(s.batches()[5].entries, (std::vector<wfa_patch_entry>{{D::ktvName(1), 3}, {D::ktvName(1), 4}}));
    EXPECT_FALSE(s.networkList()->isEnabled());
    s.drive.answerBatch(D::rqaName(2), 0);

    EXPECT_TRUE(s.networkList()->isEnabled()) << "the full bar gives the menu entry back";
    EXPECT_EQ(w.step(), 0);
    EXPECT_FALSE(w.isConfirmed());
    EXPECT_EQ(w.progress(), nullptr);
    deleteLater();
    EXPECT_TRUE(w.findChildren<ProgressDialog *>().isEmpty()) << "the dialog of the Apply is deleted";
    EXPECT_TRUE(s.log().endsWith(kDetected + "\n" + kSucceed)) << s.log().toStdString();
    EXPECT_FALSE(s.button("applyPushButton")->isEnabled());
    env.scheduler.advance(60000);
    EXPECT_EQ(s.batches().size(), 6u);
}

TEST(Apply, FailuresOfThePatchStepAreListedOnceAndNoSuccessIsClaimed)
{
    Installation s;
    s.confirm();
    s.apply();
    s.throughPreferredMaster();
    s.clearAll();
    ASSERT_EQ(s.w().step(), 3);
    s.answerAndPace(D::ktvName(1), 0);
    s.answerAndPace(D::rqaName(1), 0x8FFF);
    s.drive.answerBatch(D::rqaName(2), 1);
    EXPECT_EQ(s.w().step(), 0);
    EXPECT_EQ(D::entries({kDetected, kFailed, "UnitID : 001 Model : RQA-310", "UnitID : 002 Model : RQA-310"}),
              s.log().mid(s.log().indexOf(kDetected)));
    EXPECT_EQ(s.w().progress(), nullptr) << "the dialog closes";
    EXPECT_FALSE(s.w().isConfirmed());
    EXPECT_FALSE(s.w().isFailureReported());
}

TEST(Apply, FailedClearsCountOnlyForDevicesThePatchStepLeavesAlone)
{
    const struct {
        const char *what;
        QByteArray plan;
        bool succeeds;
        size_t patches;
    } cases[] = {
        {"the failed device is patched afterwards", GuiTestEnvironment::sampleFile("QZVeltoPatch.json"), true, 3},
        {"the failed device gets no patch",
         plan({device(1, "KTV4-S", {entry(1, 1, 1, "RQA-310")}), device(2, "RQA-310", {entry(1, 3, 1, "KTV4-S")})}),
         false, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Installation s(500, c.plan);
        s.confirm();
        s.apply();
        s.throughPreferredMaster();
        s.clearAll({0, 0x8FFF, 0}); // the clear of RQA-310 unit 1 fails
        s.patchAll();
        EXPECT_EQ(s.w().step(), 0);
        EXPECT_EQ(s.batches().size(), 3 + c.patches);
        EXPECT_EQ(s.log().endsWith(kSucceed), c.succeeds) << s.log().toStdString();
        EXPECT_TRUE(s.log().contains(D::entries({kFailed, "UnitID : 001 Model : RQA-310"})));
    }
}

TEST(Apply, AbortEndsTheApplyAndItsTimersForTheNextOne)
{
    // The pacing is longer than the wait before the clear step, so the aborted Apply's timer
    // falls due while the next Apply clears.
    Installation s(5000);
    ProbeWindow &w = s.w();
    s.confirm();
    s.apply();
    s.throughPreferredMaster();
    s.drive.answerBatch(D::ktvName(1), 0); // the next clear is due in 5000 ms
    ASSERT_EQ(s.batchDevices(), std::vector<std::string>{D::ktvName(1)});
    ASSERT_NE(w.progress(), nullptr);

    s.abort();
    EXPECT_TRUE(s.log().endsWith(kAborted));
    EXPECT_EQ(w.step(), 0);
    EXPECT_FALSE(w.isConfirmed());
    EXPECT_TRUE(s.networkList()->isEnabled());
    EXPECT_EQ(w.progress(), nullptr);
    deleteLater();
    EXPECT_TRUE(w.findChildren<ProgressDialog *>().isEmpty());
    EXPECT_FALSE(s.button("applyPushButton")->isEnabled()) << "the next Apply needs a Confirm";

    // A late answer of the aborted Apply changes nothing.
    const QString log = s.log();
    s.drive.answerBatch(D::rqaName(1), 0);
    EXPECT_EQ(s.log(), log);

    // The next Apply: a late clear answer does not count as a preferred-master answer.
    s.button("confirmPushButton")->click();
    s.env.wrapper->clearCalls();
    s.apply();
    ASSERT_EQ(s.env.wrapper->callsOf("setPreferredMaster").size(), 1u);
    s.drive.answerBatch(D::ktvName(1), 0);
    EXPECT_EQ(s.env.wrapper->callsOf("setPreferredMaster").size(), 1u);
    EXPECT_EQ(w.step(), 1);
    s.throughPreferredMaster(); // 3000 ms after the abort
    ASSERT_EQ(s.batchDevices(), std::vector<std::string>{D::ktvName(1)});
    ASSERT_EQ(w.step(), 2);

    // The aborted Apply's timer falls due now and sends nothing.
    s.env.scheduler.advance(2500);
    EXPECT_EQ(s.batchDevices(), std::vector<std::string>{D::ktvName(1)});
    EXPECT_EQ(s.progressValue(), 0);

    s.clearAll();
    s.patchAll();
    EXPECT_TRUE(s.log().endsWith(kSucceed));
    EXPECT_EQ(s.batches().size(), 6u);
}

TEST(Apply, ARefusedCommandEndsTheApply)
{
    const struct {
        const char *what;
        const char *op;     // the wrapper operation that refuses
        int answeredClears; // clear answers before the refusal (-1: refused in the preferred-master step)
        const char *line;
        bool dialog;
    } cases[] = {
        {"first preferred master", "setPreferredMaster", -1, "UnitID : 001 Model : KTV4-S", false},
        {"first clear", "setBatchPatch", 0, "UnitID : 001 Model : KTV4-S", true},
        {"paced clear", "setBatchPatch", 1, "UnitID : 001 Model : RQA-310", true},
        {"first patch", "setBatchPatch", 3, "UnitID : 001 Model : KTV4-S", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Installation s;
        s.confirm();
        if (c.answeredClears < 0)
            s.env.wrapper->setAnswer(c.op, false);
        s.apply();
        if (c.answeredClears >= 0) {
            s.drive.answerPreferredMaster(D::ktvName(1), 0);
            s.drive.answerPreferredMaster(D::rqaName(1), 0);
            s.drive.answerPreferredMaster(D::rqaName(2), 0);
            if (c.answeredClears == 0)
                s.env.wrapper->setAnswer(c.op, false);
            s.env.scheduler.advance(3000);
            const std::string order[] = {D::ktvName(1), D::rqaName(1), D::rqaName(2)};
            for (int i = 0; i < c.answeredClears; ++i) {
                if (i == c.answeredClears - 1)
                    s.env.wrapper->setAnswer(c.op, false);
                s.answerAndPace(order[i]);
            }
        }
        const size_t sent = s.env.wrapper->calls().size();
        EXPECT_EQ(s.w().step(), 0);
        EXPECT_FALSE(s.w().isConfirmed());
        EXPECT_TRUE(s.log().endsWith(D::entries({kFailed, QLatin1String(c.line) + "\n"}))) << s.log().toStdString();
        s.env.scheduler.advance(60000);
        EXPECT_EQ(s.env.wrapper->calls().size(), sent) << "nothing more is sent";
        EXPECT_EQ(s.w().progress() != nullptr, c.dialog);
        if (c.dialog) {
            s.abort();
            EXPECT_TRUE(s.log().endsWith(kAborted));
            EXPECT_TRUE(s.networkList()->isEnabled());
        }
    }
}

TEST(Apply, AnUnusablePlanClearsNothingAndItsFaultIsNamed)
{
    const struct {
        const char *what;
        QByteArray plan;
        const char *fault;                 // the line that follows the read-error text
        const char *rqa2Receive = nullptr; // the receive count RQA-310 unit 2 reports
    } cases[] = {
        {"a key before \"devs\"", R"({"comment": "x", "devs": [{"id": 1, "devType": "KTV4-S", "rxChs": []}]})",
         R"("comment" comes before "devs" in character order; "devs" must be the first key)"},
        {"empty \"devs\"", R"({"devs": []})", R"("devs" must be an array that holds at least one device)"},
        {"\"devs\" not an array", R"({"devs": {"id": 1}})",
         R"("devs" must be an array that holds at least one device)"},
        {"empty plan", "{}", R"(the plan has no "devs")"},
        {"an id that is a text", plan({device(1, "KTV4-S", {}), R"({"id": "2", "devType": "RQA-310", "rxChs": []})"}),
         R"(device 2 of "devs": "id" must be a number)"},
        {"a receive channel that is a text",
         plan({device(1, "RQA-310",
                      {entry(1, 1, 1, "KTV4-S"), R"({"rxCh": "1", "txCh": 1, "id": 1, "devType": "KTV4-S"})"})}),
         R"(device 1 of "devs", entry 2 of "rxChs": "rxCh" must be a number)"},
        {"a device nobody wants is malformed", plan({device(1, "KTV4-S", {}), R"({"id": 9, "devType": 5})"}),
         R"(device 2 of "devs": "devType" must be a text)"},
        // Entries that would be sent must name channels the devices have.
        {"transmit channel 0", plan({device(1, "KTV4-S", {entry(1, 0, 1, "RQA-310")})}),
         R"(device KTV4-S id 1, "rxCh" 1: "txCh" 0 is outside 1 to 2, the transmit channels of RQA-310 id 1)"},
        {"transmit channel beyond the transmitter's", plan({device(1, "KTV4-S", {entry(7, 3, 1, "RQA-310")})}),
         R"(device KTV4-S id 1, "rxCh" 7: "txCh" 3 is outside 1 to 2, the transmit channels of RQA-310 id 1)"},
        {"receive channel 0", plan({device(1, "RQA-310", {entry(0, 1, 1, "KTV4-S")})}),
         R"(device RQA-310 id 1: "rxCh" 0 is outside 1 to 2, the receive channels of the device)"},
        {"receive channel beyond the device's", plan({device(2, "RQA-310", {entry(3, 1, 1, "KTV4-S")})}),
         R"(device RQA-310 id 2: "rxCh" 3 is outside 1 to 2, the receive channels of the device)"},
        {"a transmitter without a receive count", plan({device(1, "KTV4-S", {entry(1, 1, 2, "RQA-310")})}),
         R"(device KTV4-S id 1, "rxCh" 1: the transmitting device RQA-310 id 2 reports no receive channels )"
         R"(and cannot be used)",
         "0"},
        {"a device without receive channels", plan({device(1, "KTV4-S", {entry(1, 1, 1, "RQA-310")})}),
         R"(device RQA-310 id 2: it reports 0 receive channels; 1 to 256 can be cleared and patched)", "0"},
        {"a device with more receive channels than one batch holds", filteredPlan(),
         R"(device RQA-310 id 2: it reports 257 receive channels; 1 to 256 can be cleared and patched)", "257"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Installation s(500, c.plan);
        if (c.rqa2Receive) {
            const std::string receive = c.rqa2Receive;
            s.drive.addDevice(D::rqaName(2), "RQA-310");
            s.drive.report([&](IVeltoNotify &n) { n.notifyChannelCount(D::rqaName(2), "2", receive); });
        }
        s.confirm();
        s.apply();
        s.env.scheduler.advance(10000);
        const QString fault = QStringLiteral("QZVeltoPatch.json, ") + QString::fromUtf8(c.fault) + ".";
        EXPECT_TRUE(s.log().endsWith(D::entries({kPlanBad, fault}))) << s.log().toStdString();
        EXPECT_TRUE(s.env.wrapper->callsOf("setPreferredMaster").empty());
        EXPECT_TRUE(s.batches().empty());
        EXPECT_EQ(s.w().step(), 0);
        EXPECT_EQ(s.w().progress(), nullptr);
        EXPECT_TRUE(s.networkList()->isEnabled());
    }
}

TEST(Apply, APlanWithoutPatchesForTheWantedDevicesSucceedsAfterTheClear)
{
    Installation s(500, plan({device(1, "KTV4-S", {entry(1, 1, 5, "RQA-310")}),
                              device(7, "RQA-310", {entry(1, 1, 1, "KTV4-S")})}));
    s.confirm();
    s.apply();
    s.throughPreferredMaster();
    s.clearAll();
    EXPECT_EQ(s.w().step(), 0);
    EXPECT_EQ(s.batches().size(), 3u) << "a device whose entries are all left out gets no patch";
    EXPECT_TRUE(s.log().endsWith(kSucceed));
    EXPECT_EQ(s.w().progress(), nullptr);
    EXPECT_FALSE(s.networkList()->isEnabled()) << "the bar was not full";
}

TEST(Apply, ErrorAnswersAreLoggedAndCountedAsFailures)
{
    const struct {
        const char *what;
        int step;              // 2 or 3: the step in which RQA-310 unit 1 answers with the error
        unsigned short status; // 0x8010 or 0x802x
        const char *text;
        bool succeeds;
    } cases[] = {
        {"device state during the patch", 3, 0x8022, "UnitID : 001 Model : RQA-310 ErrorCode:32802", false},
        {"unknown device during the patch", 3, 0x8010, "UnitID:Unknown Model:Unknown", false},
        {"device state during the clear", 2, 0x8020, "UnitID : 001 Model : RQA-310 ErrorCode:32800", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Installation s;
        s.confirm();
        s.apply();
        s.throughPreferredMaster();
        for (int step : {2, 3}) {
            s.answerAndPace(D::ktvName(1));
            ASSERT_EQ(s.batchDevices().back(), D::rqaName(1));
            s.drive.answerBatch(D::rqaName(1), step == c.step ? c.status : 0);
            if (step == c.step) {
                EXPECT_TRUE(s.log().endsWith(D::entries({kFailed, QLatin1String(c.text)}))) << s.log().toStdString();
                EXPECT_EQ(s.progressValue(), step == 2 ? 2 : 5);
            }
            s.env.scheduler.advance(500);
            ASSERT_EQ(s.batchDevices().back(), D::rqaName(2)) << "the sequence goes on";
            s.drive.answerBatch(D::rqaName(2), 0);
        }
        EXPECT_EQ(s.w().step(), 0);
        EXPECT_EQ(s.log().endsWith(kSucceed), c.succeeds);
    }
}

TEST(Apply, OnlyTheAnswerOfTheDeviceInFlightMovesTheSequence)
{
    Installation s;
    s.confirm();
    s.apply();
    // Preferred master: another device's answer, then a repeated one, move nothing.
    s.drive.answerPreferredMaster(D::rqaName(1), 0);
    EXPECT_EQ(s.env.wrapper->callsOf("setPreferredMaster").size(), 1u);
    s.drive.answerPreferredMaster(D::ktvName(1), 0);
    s.drive.answerPreferredMaster(D::ktvName(1), 0);
    EXPECT_EQ(s.env.wrapper->callsOf("setPreferredMaster").size(), 2u);
    s.drive.answerPreferredMaster(D::rqaName(1), 0);
    s.drive.answerPreferredMaster(D::rqaName(2), 0);
    s.env.scheduler.advance(3000);
    ASSERT_EQ(s.w().step(), 2);

    // KTV4-S unit 1 is in flight.
    const QString log = s.log();
    s.drive.answerBatch(D::rqaName(1), 0);
    s.drive.answerBatch(D::rqaName(2), 0x8022);
    s.drive.answerBatch(D::rqaName(2), 0x8010);
    EXPECT_EQ(s.progressValue(), 0);
    EXPECT_EQ(s.log(), log);
    EXPECT_EQ(s.w().rqa().size(), 2);
    s.env.scheduler.advance(10000);
    EXPECT_EQ(s.batches().size(), 1u);

    // A name that names no device is reported and ignored; the sequence waits.
    s.drive.answerBatch("KTV4-S-unit-1", 0);
    EXPECT_TRUE(s.log().endsWith(kNoDevice));
    s.drive.answerBatch("T001-QZ-KTV4-S", 2); // handed over, and not a device name either
    EXPECT_EQ(s.log().count(kNoDevice), 2);

    s.drive.answerBatch(D::ktvName(1), 0);
    s.drive.answerBatch(D::ktvName(1), 0); // repeated
    EXPECT_EQ(s.progressValue(), 1);
    s.env.scheduler.advance(500);
    EXPECT_EQ(s.batches().size(), 2u);
}

TEST(Apply, HandedOverBatchesOnlyLogNamesThatNameNoDevice)
{
    Installation s;
    s.confirm();
    s.drive.answerBatch("garbage", 2); // outside Apply: nothing
    EXPECT_FALSE(s.log().contains(kNoDevice));
    s.apply();
    s.throughPreferredMaster();
    s.drive.answerBatch(D::ktvName(1), 2);
    s.drive.answerBatch("garbage", 2);
    EXPECT_EQ(s.log().count(kNoDevice), 1);
    EXPECT_EQ(s.w().step(), 2);
    EXPECT_EQ(s.progressValue(), 0);
}

TEST(Apply, AFailedPreferredMasterAnswerEndsTheApply)
{
    Installation s(500, filteredPlan());
    s.confirm();
    s.apply();
    s.drive.answerPreferredMaster(D::ktvName(1), 0);
    ASSERT_EQ(s.env.wrapper->callsOf("setPreferredMaster").back().device, D::rqaName(1));
    s.drive.answerPreferredMaster(D::rqaName(1), 0x8FFF);
    EXPECT_TRUE(s.log().endsWith(D::entries({kDetected, kFailed, "UnitID : 001 Model : RQA-310", "001:RQA-310"})))
        << s.log().toStdString();
    EXPECT_EQ(s.w().step(), 0);
    EXPECT_EQ(s.w().progress(), nullptr);

    // Nothing more is sent: no preferred master for the last device, no clear, no patch, and a
    // late answer moves nothing.
    s.drive.answerPreferredMaster(D::rqaName(2), 0);
    s.env.scheduler.advance(60000);
    EXPECT_EQ(s.env.wrapper->ops(), (std::vector<std::string>{"setPreferredMaster", "setPreferredMaster"}));
    EXPECT_TRUE(s.log().endsWith("001:RQA-310"));
}

TEST(Apply, AnInterfaceSwitchAfterAFailedPreferredMasterRestartsTheProgram)
{
    Installation s(500, QByteArray(), {1, 2, 8, 8, 8}, true);
    s.confirm();
    s.apply();
    s.drive.answerPreferredMaster(D::ktvName(1), 0x8001);

    // Confirm gives the Network List back; the user picks another interface.
    s.button("confirmPushButton")->click();
    ASSERT_TRUE(s.networkList()->isEnabled());
    s.env.prompts.onDialog = [](QDialog &dialog) {
        auto *chooser = qobject_cast<NicSelectDialog *>(&dialog);
        if (!chooser)
            return int(QDialog::Rejected);
        chooser->listWidget()->setCurrentRow(1);
        chooser->slotClickOK();
        return chooser->result();
    };
    s.networkList()->trigger();
    s.drive.reportInterfaces({kEth0, kEth1});
    s.env.scheduler.runDue();
    s.env.scheduler.advance(2000);
    ASSERT_EQ(s.env.wrapper->callsOf("setIf").size(), 1u);

    // The switch takes effect while the event loop runs: the loop ends with the restart code.
    QTimer::singleShot(0, qApp, [&s] {
        s.drive.reportInterfaceInUse(kEth1);
        s.env.scheduler.runDue();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    guard.start(20000);
    EXPECT_EQ(QApplication::exec(), MainWindow::restartExitCode);
    EXPECT_FALSE(s.log().contains("The application will restart when the settings have been applied."));
}

TEST(Apply, MissingDevicesStopTheSequenceBeforeTheNextStep)
{
    // Before the clear step: Apply ends there, without a dialog.
    {
        Installation s;
        s.confirm();
        s.apply();
        s.drive.answerPreferredMaster(D::ktvName(1), 0);
        s.drive.answerPreferredMaster(D::rqaName(1), 0);
        s.drive.report([](IVeltoNotify &notify) { notify.notifyDeviceRemoved(D::rqaName(2)); });
        s.drive.answerPreferredMaster(D::rqaName(2), 0);
        s.env.scheduler.advance(3000);
        EXPECT_TRUE(s.log().endsWith("UnitID : 2 Model : RQA-310\n"));
        EXPECT_TRUE(s.batches().empty());
        EXPECT_EQ(s.w().step(), 0);
        EXPECT_EQ(s.w().progress(), nullptr);
    }
    // Before the patch step: it stands in the clear step with its dialog until Abort, which ends it.
    {
        Installation s;
        s.confirm();
        s.apply();
        s.throughPreferredMaster();
        s.answerAndPace(D::ktvName(1));
        s.answerAndPace(D::rqaName(1));
        s.drive.setConnected(D::ktvName(1), false);
        s.drive.answerBatch(D::rqaName(2), 0);
        EXPECT_TRUE(s.log().endsWith("UnitID : 1 Model : KTV4-S\n"));
        EXPECT_EQ(s.w().step(), 2);
        EXPECT_EQ(s.batches().size(), 3u);
        ASSERT_NE(s.w().progress(), nullptr);
        s.abort();
        EXPECT_TRUE(s.log().endsWith(kAborted));
        EXPECT_EQ(s.w().step(), 0);
    }
}

TEST(Apply, AnInterfaceSwitchTakingEffectDuringApplyRestartsOnlyAfterIt)
{
    Installation s;
    s.confirm();
    s.apply();
    s.w().setSwitchPending(true); // a switch of interface was sent and is answered now
    s.drive.reportInterfaceInUse(kEth0);
    s.env.scheduler.runDue();
    EXPECT_TRUE(s.env.exitCodes.empty()) << "no restart in the middle of Apply";
    EXPECT_TRUE(s.log().contains("The application will restart when the settings have been applied."));
    s.throughPreferredMaster();
    s.clearAll();
    s.patchAll();
    EXPECT_EQ(s.w().step(), 0);
    EXPECT_TRUE(s.log().contains(kSucceed));
    EXPECT_EQ(s.env.exitCodes, std::vector<int>{MainWindow::restartExitCode});
}

TEST(Apply, DeviceNamesAndLines)
{
    const struct {
        const char *name;
        bool ok;
        const char *key, *line;
    } names[] = {
        {"T001-QZ-KTV4-S-0011", true, "001:KTV4-S", "UnitID : 001 Model : KTV4-S"},
        {"T01A-A2-RQA-310-26", true, "01A:RQA-310", "UnitID : 026 Model : RQA-310"},
        {"T061--RQA-310-a-b-c", true, "061:RQA-310", "UnitID : 097 Model : RQA-310"},
        {"T00a-x-KTV4-S-y", true, "00A:KTV4-S", "UnitID : 010 Model : KTV4-S"},
        {"t001-x-KTV4-S-y", true, "001:KTV4-S", "UnitID : 001 Model : KTV4-S"},
        {"TT00a-x-KTV4-S-y", false, "", ""},
        {"T0x1-x-KTV4-S-y", false, "", ""},
        {"T+1F-x-KTV4-S-y", false, "", ""},
        {"T 1F-x-KTV4-S-y", false, "", ""},
        {"T1T2-x-KTV4-S-y", false, "", ""},
        {"T0001-x-KTV4-S-y", false, "", ""},
        {"T001-x-KTV4-S", false, "", ""},
        {"T001-KTV4-S-x-y", false, "", ""},
        {"T001-x-ktv4-s-y", false, "", ""},
        {"T-x-KTV4-S-y", false, "", ""},
        {"TG01-x-RQA-310-y", false, "", ""},
        {"", false, "", ""},
    };
    for (const auto &n : names) {
        QString key, line;
        EXPECT_EQ(ProbeWindow::deviceFromName(QLatin1String(n.name), key, line), n.ok) << n.name;
        EXPECT_EQ(key, QLatin1String(n.key)) << n.name;
        EXPECT_EQ(line, QLatin1String(n.line)) << n.name;
    }

    const struct {
        QVariantMap map;
        bool ok;
        const char *line;
    } maps[] = {
        {{{"unitID", 26u}, {"manfModel", "RQA-310"}}, true, "UnitID : 026 Model : RQA-310\n"},
        {{{"unitID", 1u}, {"manfModel", "KTV4-S"}, {"isPrefferdMaster", 1}}, true, "UnitID : 001 Model : KTV4-S\n"},
        {{{"unitID", 1000u}, {"manfModel", "RQA-310"}}, true, "UnitID : 1000 Model : RQA-310\n"},
        {{{"manfModel", "KTV4-S"}}, false, ""},
        {{{"unitID", 1u}}, false, ""},
        {{{"unitID", "x"}, {"manfModel", "KTV4-S"}}, false, ""},
    };
    for (const auto &m : maps) {
        QString line;
        EXPECT_EQ(ProbeWindow::deviceLineFromMap(m.map, line), m.ok) << m.line;
        EXPECT_EQ(line, QLatin1String(m.line));
    }
}

} // namespace
