// The window built offscreen: each main state shows its card with its key texts and the right
// buttons enabled; destructive actions ask first, with the cancel button first; and a click-through
// from the welcome card to a setup run of the real model against a scripted tessaron.
#include "app/desktop_window.h"
#include "app/model_bridge.h"
#include "app/overlays.h"
#include "app/sample_states.h"
#include "app/style.h"
#include "app/tessaron_button.h"
#include "app/surface.h"
#include "app/stepper.h"
#include "app/fitting_label.h"
#include "model/desktop_model.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QThread>
#include <QToolButton>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

namespace tessaron::desktop {
namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "desktop_window_test";
    static char* argv[] = {name, nullptr};
    static QApplication* instance = [] {
        auto* created = new QApplication(argc, argv);
        style::applyApplicationLook();
        return created;
    }();
    return *instance;
}

void settle() {
    for (int turn = 0; turn < 4; ++turn) QApplication::processEvents();
}

// Waits up to 30 s, handling events, for `done`.
bool eventually(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > 30'000) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

QString shownText(QWidget* widget) {
    if (auto* button = qobject_cast<style::TessaronButton*>(widget)) return button->title();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text().replace(QStringLiteral("&&"), QStringLiteral("&"));
    if (auto* fitted = qobject_cast<style::FittingLabel*>(widget)) return fitted->fullText();
    if (auto* text = qobject_cast<QLabel*>(widget))
        return text->textFormat() == Qt::RichText ? text->accessibleName() : text->text();
    return {};
}

// The visible widget showing exactly `text`, or null.
QWidget* find(QWidget& window, const std::string& text) {
    for (QWidget* widget : window.findChildren<QWidget*>())
        if (widget->isVisible() && shownText(widget) == QString::fromStdString(text)) return widget;
    return nullptr;
}

QAbstractButton* button(QWidget& window, const std::string& title) {
    return qobject_cast<QAbstractButton*>(find(window, title));
}

using samples::running;
using samples::unpaired;
using Recorder = samples::RecordingActions;

struct Expect {
    std::string text;
    enum { shown, enabled, disabled, absent } kind;
};

TEST(DesktopWindow, EachMainStateShowsItsCard) {
    application();
    struct Row {
        const char* name;
        std::function<ViewState()> state;
        rules::MainCard card;
        std::vector<Expect> expected;
    };
    const Row rows[] = {
        {"welcome", unpaired, rules::MainCard::welcome,
         {{"STEP 1 OF 3", Expect::shown},
          {"I need an account", Expect::enabled},
          {"I already have one", Expect::enabled},
          {"Skip this", Expect::enabled},
          {"Back", Expect::absent},
          {"An invitation is required to connect your Mac.", Expect::shown},
          {"Billing & usage", Expect::absent}}},
        {"welcome, connect step outside Applications",
         [] {
             ViewState s = unpaired();
             s.onboardingStep = OnboardingStep::connect;
             s.durablyInstalled = false;
             return s;
         },
         rules::MainCard::welcome,
         {{"Create my server", Expect::disabled},
          {"Back", Expect::enabled},
          {"Move Tessaron to Applications first", Expect::shown},
          {"Move to Applications and reopen", Expect::enabled}}},
        {"onboarding form",
         [] {
             ViewState s = unpaired();
             s.onboardingSkipped = true;
             return s;
         },
         rules::MainCard::onboarding,
         {{"Turn this Mac into a server.", Expect::shown},
          {"Create your server", Expect::enabled},
          {"Next: download Linux, then connect", Expect::shown},
          {"Advanced settings", Expect::enabled}}},
        {"setup card with a code",
         [] {
             ViewState s = unpaired();
             s.showingSetup = true;
             s.settingUp = true;
             s.setupStage = "awaiting_account";
             s.pairingCode = "KQ7M-24XD";
             return s;
         },
         rules::MainCard::pairing,
         {{"KQ7M-24XD", Expect::shown},
          {"Copy code", Expect::enabled},
          {"Open web panel", Expect::enabled},
          {"Match this code in the web panel", Expect::shown},
          {"Resume setup", Expect::absent}}},
        {"setup failed while a run goes on",
         [] {
             ViewState s = unpaired();
             s.showingSetup = true;
             s.running = true;
             s.setupStage = "failed";
             s.error = "Setup could not finish.";
             return s;
         },
         rules::MainCard::pairing,
         {{"Resume setup", Expect::disabled}, {"Setup could not finish.", Expect::shown}}},
        {"dashboard, running", running, rules::MainCard::dashboard,
         {{"Your server", Expect::shown},
          {"Public access enabled", Expect::shown},
          {"6", Expect::shown},
          {"16 GiB", Expect::shown},
          {"Running", Expect::shown},
          {"Continue in web panel", Expect::enabled},
          {"Open terminal", Expect::enabled},
          {"Edit", Expect::enabled},
          {"Disconnect public access", Expect::enabled},
          {"Restart server", Expect::enabled},
          {"Connect your Mac", Expect::absent},
          {"Billing & usage", Expect::enabled},
          {"Hosting runs in the background. Keep this Mac awake and online.", Expect::shown}}},
        {"dashboard, stopped and offline",
         [] {
             ViewState s = samples::stopped();
             s.vmExists = false;
             return s;
         },
         rules::MainCard::dashboard,
         {{"Connect your Mac", Expect::enabled},
          {"Make the apps you choose reachable online.", Expect::shown},
          {"Open web panel", Expect::enabled},
          {"Open terminal", Expect::disabled},
          {"Edit", Expect::disabled},
          {"Restart server", Expect::disabled},
          {"Start server", Expect::enabled}}},
        {"dashboard before the first read",
         [] {
             ViewState s = running();
             s.allocatedCPU.reset();
             s.allocatedMemoryGiB.reset();
             s.vmStatus = "Checking this Mac\u2026";
             return s;
         },
         rules::MainCard::dashboard,
         {{"\u2014", Expect::shown}, {"Checking this Mac\u2026", Expect::shown}}},
    };
    for (const Row& row : rows) {
        Recorder actions;
        DesktopWindow window(actions);
        window.setState(row.state());
        window.show();
        settle();
        EXPECT_EQ(window.shownCard(), row.card) << row.name;
        for (const Expect& expect : row.expected) {
            QWidget* widget = find(window, expect.text);
            if (expect.kind == Expect::absent) {
                EXPECT_EQ(widget, nullptr) << row.name << ": " << expect.text;
                continue;
            }
            ASSERT_NE(widget, nullptr) << row.name << ": " << expect.text;
            if (expect.kind != Expect::shown) {
                EXPECT_EQ(widget->isEnabled(), expect.kind == Expect::enabled) << row.name << ": " << expect.text;
            }
        }
    }
}

TEST(DesktopWindow, DestructiveActionsAskFirstWithCancelFirst) {
    application();
    struct Row {
        const char* name;
        std::string serverState;
        std::string press;
        std::string title;  // empty: no alert
        std::string confirm;
        std::string call;
    };
    const Row rows[] = {
        {"restart", "Running", "Restart server", "Restart your Linux server?", "Restart server", "restart"},
        {"turn off", "Running", "Turn off server", "Turn off your Linux server?", "Turn off server", "power stop"},
        {"turn off an unknown server", "Unknown", "Turn off server", "Turn off your Linux server?", "Turn off server",
         "power stop"},
        {"start a stopped server", "Stopped", "Start server", "", "", "power start"},
    };
    for (const Row& row : rows) {
        for (const bool confirmed : {false, true}) {
            Recorder actions;
            DesktopWindow window(actions);
            ViewState state = running();
            state.serverState = row.serverState;
            state.powerLabel = row.serverState == "Stopped" ? "Start server" : "Turn off server";
            window.setState(state);
            window.show();
            settle();
            QAbstractButton* pressed = button(window, row.press);
            ASSERT_NE(pressed, nullptr) << row.name;
            pressed->click();
            settle();
            ConfirmationAlert* alert = window.alert();
            if (row.title.empty()) {
                EXPECT_EQ(alert, nullptr) << row.name;
                EXPECT_EQ(actions.calls, std::vector<std::string>{row.call}) << row.name;
                continue;
            }
            ASSERT_NE(alert, nullptr) << row.name;
            EXPECT_NE(find(*alert, row.title), nullptr) << row.name;
            EXPECT_EQ(alert->cancelButton()->text(), "Cancel");
            EXPECT_EQ(shownText(alert->confirmButton()), QString::fromStdString(row.confirm));
            EXPECT_LT(alert->cancelButton()->x(), alert->confirmButton()->x()) << row.name << ": cancel comes first";
            (confirmed ? alert->confirmButton() : alert->cancelButton())->click();
            settle();
            EXPECT_EQ(window.alert(), nullptr) << row.name;
            EXPECT_EQ(actions.calls, confirmed ? std::vector<std::string>{row.call} : std::vector<std::string>{})
                << row.name << (confirmed ? " confirmed" : " cancelled");
        }
    }
}

// Keys as the keyboard sends them: to the focused widget, pressed and released.
void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr) << "nothing has the keyboard";
    const QString text = key == Qt::Key_Space ? QStringLiteral(" ") : QString();
    QKeyEvent down(QEvent::KeyPress, key, modifiers, text);
    QKeyEvent up(QEvent::KeyRelease, key, modifiers, text);
    QApplication::sendEvent(focused, &down);
    QApplication::sendEvent(focused, &up);
    settle();
}

// Tab and Shift-Tab never leave `overlay`, and reach each of its `stops`.
void expectTabStaysIn(QWidget& overlay, const std::vector<QWidget*>& stops, const char* what) {
    std::set<QWidget*> reached;
    for (int turn = 0; turn < 12; ++turn) {
        press(turn < 6 ? Qt::Key_Tab : Qt::Key_Backtab, turn < 6 ? Qt::NoModifier : Qt::ShiftModifier);
        QWidget* focused = QApplication::focusWidget();
        EXPECT_TRUE(focused && (focused == &overlay || overlay.isAncestorOf(focused)))
            << what << ": focus went behind, to " << (focused ? focused->metaObject()->className() : "nothing");
        reached.insert(focused);
    }
    for (QWidget* stop : stops) EXPECT_TRUE(reached.count(stop)) << what << ": a control Tab never reached";
}

// An open alert, or the sheet, holds the keyboard: Tab cycles through its own buttons only, Space
// presses the focused one of them, Return the default one, Escape cancels; then the focus is back
// where it was, and the button behind was never pressed.
TEST(DesktopWindow, AnOpenAlertOrSheetHoldsTheKeyboard) {
    application();
    Recorder actions;
    DesktopWindow window(actions);
    ViewState state = running();
    window.setState(state);
    window.show();
    window.activateWindow();
    QApplication::setActiveWindow(&window);
    settle();
    QAbstractButton* behind = button(window, "Disconnect public access");
    ASSERT_NE(behind, nullptr);
    behind->setFocus();

    struct Row {
        Qt::Key key;
        std::vector<std::string> calls;
    };
    for (const Row& row : {Row{Qt::Key_Space, {}}, Row{Qt::Key_Escape, {}}, Row{Qt::Key_Return, {"power stop"}}}) {
        actions.calls.clear();
        button(window, "Turn off server")->click();
        settle();
        ConfirmationAlert* alert = window.alert();
        ASSERT_NE(alert, nullptr);
        expectTabStaysIn(*alert, {alert->cancelButton(), alert->confirmButton()}, "alert");
        if (row.key == Qt::Key_Space) {
            while (QApplication::focusWidget() != alert->cancelButton()) press(Qt::Key_Tab);
        }
        press(row.key);
        EXPECT_EQ(window.alert(), nullptr) << row.key;
        EXPECT_EQ(actions.calls, row.calls) << row.key;
        EXPECT_EQ(QApplication::focusWidget(), behind) << row.key << ": the focus is back where it was";
    }

    // The sheet, and its own alert above it.
    actions.calls.clear();
    window.setState(samples::withResources(state, "Running"));
    settle();
    ResourceSheet* sheet = window.resourceSheet();
    ASSERT_TRUE(sheet->isVisible());
    QAbstractButton* apply = button(window, "Apply changes");
    ASSERT_NE(apply, nullptr);
    expectTabStaysIn(*sheet, {sheet->findChild<QAbstractButton*>(QStringLiteral("closeResources")), apply}, "sheet");
    while (QApplication::focusWidget() != apply) press(Qt::Key_Tab);
    press(Qt::Key_Space);
    ASSERT_NE(window.alert(), nullptr) << "applying to a running server asks first";
    expectTabStaysIn(*window.alert(), {window.alert()->cancelButton()}, "alert above the sheet");
    press(Qt::Key_Escape);
    EXPECT_EQ(window.alert(), nullptr);
    EXPECT_EQ(QApplication::focusWidget(), apply) << "the focus is back in the sheet";
    EXPECT_EQ(actions.calls, std::vector<std::string>{}) << "nothing behind was pressed";
}

TEST(DesktopWindow, ResourceSheetAppliesOrAsksByServerState) {
    application();
    struct Row {
        const char* vmState;
        bool asks;
    };
    for (const Row row : {Row{"Running", true}, Row{"stopped", false}}) {
        Recorder actions;
        DesktopWindow window(actions);
        ViewState state = running();
        state.showResources = true;
        state.resources = DesktopResources{4, 8, row.vmState, {1, 6, 2, 12}};
        state.resourceCPU = 5;
        state.resourceMemory = 8;
        state.resourcesChanged = true;
        window.setState(state);
        window.show();
        settle();
        ASSERT_TRUE(window.resourceSheet()->isVisible()) << row.vmState;
        EXPECT_NE(find(window, "Currently 4 CPUs \u00B7 8 GiB RAM \u00B7 " + std::string(row.vmState)), nullptr);
        auto* up = window.resourceSheet()->findChild<style::Stepper*>(QStringLiteral("resourceCPU"))->upButton();
        up->click();
        button(window, "Apply changes")->click();
        settle();
        if (row.asks) {
            ASSERT_NE(window.alert(), nullptr);
            EXPECT_NE(find(*window.alert(), "Your apps and SSH sessions will be interrupted while Linux restarts with 5 CPUs "
                                            "and 8 GiB RAM. Your files will be preserved."),
                      nullptr);
            window.alert()->confirmButton()->click();
            settle();
            EXPECT_EQ(actions.calls, (std::vector<std::string>{"resource cpu 6", "apply restart"}));
        } else {
            EXPECT_EQ(window.alert(), nullptr);
            EXPECT_EQ(actions.calls, (std::vector<std::string>{"resource cpu 6", "apply"}));
        }

        state.showResources = false;
        window.setState(state);
        EXPECT_FALSE(window.resourceSheet()->isVisible()) << "the sheet follows the model";
    }
}

// The sheet is laid out at its final size as soon as the reading replaces the loading line: the
// model's next unrelated change, or an apply error, moves no control under the pointer.
TEST(DesktopWindow, ResourceSheetHoldsStill) {
    application();
    Recorder actions;
    DesktopWindow window(actions);
    ViewState state = running();
    state.showResources = true;
    state.loadingResources = true;
    window.setState(state);
    window.show();
    settle();
    state = samples::withResources(running(), "Running");
    window.setState(state);
    style::Surface* panel = window.resourceSheet()->panel();
    QWidget* up = window.resourceSheet()->findChild<style::Stepper*>(QStringLiteral("resourceMemory"))->upButton();
    const auto where = [&] { return std::pair(panel->height(), up->mapTo(panel, QPoint()).y()); };
    const auto loaded = where();
    EXPECT_EQ(panel->height(), panel->heightForWidth(panel->width())) << "no more and no less than its contents need";

    settle();
    window.setState(state);  // the next refresh
    settle();
    EXPECT_EQ(where(), loaded);
    state.resourceError = "The VM did not stop cleanly. No resource edit was attempted.";
    window.setState(state);
    settle();
    EXPECT_EQ(where().second, loaded.second) << "the error row is added below the editor";
    EXPECT_GT(where().first, loaded.first);
}

TEST(DesktopWindow, CopyCodeUntilTheCodeChanges) {
    application();
    Recorder actions;
    DesktopWindow window(actions);
    ViewState state = unpaired();
    state.showingSetup = true;
    state.setupStage = "awaiting_account";
    state.pairingCode = "AAAA-1111";
    window.setState(state);
    window.show();
    settle();
    button(window, "Copy code")->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "AAAA-1111");
    EXPECT_NE(button(window, "Copied"), nullptr);
    state.pairingCode = "BBBB-2222";
    window.setState(state);
    settle();
    EXPECT_NE(button(window, "Copy code"), nullptr);
}

// Text from outside of any size and content (a run's 1 MB error with bidirectional overrides,
// controls and markup; a pairing code that is markup; a word without a break) is shown as text:
// escaped, a few hundred characters per label, the log's lines whole, never wider than the window.
TEST(DesktopWindow, TextFromOutsideIsShownBoundedAndAsText) {
    application();
    std::string hostile;
    while (hostile.size() < (1u << 20)) hostile += "tessaron: \u202Eevil<b>bold</b>\tTab\nnext line \u0007 ";
    const std::string word(1u << 20, 'A');

    ViewState dashboard = samples::withResources(running(), "Running");
    dashboard.connectionDetail = dashboard.error = dashboard.lifecycleError = dashboard.resourceError = hostile;
    dashboard.resources->state = dashboard.vmStatus = hostile;
    // The log as long as the model keeps it, its last line one long word.
    dashboard.log = hostile.substr(0, 20'000) + "\n" + word.substr(0, 4'000);
    ViewState pairing = samples::setup("awaiting_account", true);
    pairing.pairingCode = "with code: <span style=\"color:red\">KQ7M</span>" + word;
    pairing.setupSnapshot->accountEmail = hostile;
    pairing.setupSnapshot->profile->name = word;
    pairing.error = word;
    ViewState moving = unpaired();
    moving.durablyInstalled = false;
    moving.moveError = moving.bundleFolder = hostile;

    for (const ViewState& state : {dashboard, pairing, moving}) {
        Recorder actions;
        DesktopWindow window(actions);
        window.resize(640, 550);
        window.show();
        for (auto* disclosure : window.findChildren<QToolButton*>()) disclosure->setChecked(true);
        QElapsedTimer clock;
        clock.start();
        window.setState(state);
        settle();
        EXPECT_LT(clock.elapsed(), 20'000) << "drawing " << state.setupStage;
        for (QLabel* label : window.findChildren<QLabel*>()) {
            if (!label->isVisible()) continue;
            const QString text = label->text();
            EXPECT_LE(text.size(), 3000) << text.left(80).toStdString();
            EXPECT_FALSE(text.contains(QChar(0x202E)) || text.contains(u'\t') || text.contains(QChar(7)))
                << text.left(80).toStdString();
            if (text.contains(QStringLiteral("<b>")) || text.contains(QStringLiteral("<span"))) {
                EXPECT_EQ(label->textFormat(), Qt::PlainText) << text.left(80).toStdString();
            }
        }
        const QString log = window.findChild<QPlainTextEdit*>(QStringLiteral("activityLog"))->toPlainText();
        if (state.log == dashboard.log) {
            EXPECT_TRUE(log.endsWith(QString(4'000, u'A'))) << "lines are shown whole";
        }
        EXPECT_FALSE(log.contains(QChar(0x202E)) || log.contains(u'\t'));
        EXPECT_LE(window.scrollArea()->widget()->minimumSizeHint().width(), 640) << "a long word widened the window";
        if (auto* code = window.findChild<QLabel*>(QStringLiteral("pairingCode")); code->isVisible()) {
            EXPECT_TRUE(code->text().startsWith(QStringLiteral("with code: <span style=\"color:red\">KQ7M</span>AAA")));
        }
    }
}

// Welcome card → "Skip this" → the onboarding form → "Create your server" starts the model's
// setup run: the scripted tessaron is asked to onboard with the form's choices.
TEST(DesktopWindow, ClickThroughFromWelcomeToASetupRun) {
    application();
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const std::filesystem::path root = folder.path().toStdString();
    const std::filesystem::path home = root / "home";
    const std::filesystem::path bundle = home / "Applications" / "Tessaron.app";
    std::filesystem::create_directories(bundle);
    {
        std::ofstream script(root / "script.json");
        script << R"({"onboard": {"steps": [{"out": "Waiting for approval\n"}, {"waitFor": ")"
               << (root / "release").string() << R"("}], "exit": 1}, "*": {"stderr": "not scripted\n", "exit": 1}})";
    }
    qputenv("TESSARON_SCRIPTED_DIR", QByteArray::fromStdString(root.string()));

    DesktopModelOptions options;
    options.bundle = bundle;
    options.home = home;
    options.limactl = (root / "no-limactl").string();
    options.capacity = HostCapacity{12, 32ull << 30};
    options.support = samples::appleSilicon();
    options.settingsFile = QString::fromStdString((root / "settings.ini").string());
    options.freeSpace = [](const std::filesystem::path&) { return std::optional<std::uint64_t>(100ull << 30); };
    options.startRefreshLoop = false;
    options.checkForUpdates = false;
    struct : Opener {
        void open(const QUrl&) override {}
    } opener;
    DesktopModel model(std::string(TESSARON_STANDIN_BIN_DIR) + "/tessaron-scripted", opener, options);
    ModelBridge bridge(model);
    DesktopWindow window(bridge);
    bridge.attach(window);
    window.show();
    settle();
    ASSERT_EQ(window.shownCard(), rules::MainCard::welcome);

    button(window, "Skip this")->click();
    ASSERT_TRUE(eventually([&] { return window.shownCard() == rules::MainCard::onboarding; }));
    EXPECT_TRUE(model.onboardingSkipped());
    auto* memory = window.findChild<style::Stepper*>(QStringLiteral("memoryStepper"));
    memory->downButton()->click();
    settle();
    const int chosenMemory = model.memory();

    QAbstractButton* create = button(window, "Create your server");
    ASSERT_NE(create, nullptr);
    ASSERT_TRUE(create->isEnabled());
    create->click();
    ASSERT_TRUE(eventually([&] { return window.shownCard() == rules::MainCard::pairing; }));
    ASSERT_TRUE(eventually([&] { return model.log().contains(QStringLiteral("Waiting for approval")); }));

    QFile calls(folder.filePath(QStringLiteral("calls.log")));
    ASSERT_TRUE(calls.open(QIODevice::ReadOnly));
    const QString call = QString::fromUtf8(calls.readAll());
    EXPECT_TRUE(call.startsWith(QStringLiteral("onboard\t--control\thttps://panel.tessaron.invalid")));
    EXPECT_TRUE(call.contains(QStringLiteral("--memory-gib\t%1").arg(chosenMemory)));

    // The run fails: the setup card offers to resume once nothing runs any more.
    std::ofstream(root / "release").put('\n');
    ASSERT_TRUE(eventually([&] { return !model.settingUp() && !model.running(); }));
    ASSERT_TRUE(eventually([&] { return button(window, "Resume setup") != nullptr; }));
    EXPECT_TRUE(button(window, "Resume setup")->isEnabled());
    model.shutdown();
}

}  // namespace
}  // namespace tessaron::desktop
