#include "DesktopApp.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QThread>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <sys/signalfd.h>
#include <unistd.h>

#include "QtOperatorUi.h"
#include "frmBaseEmbedEditor.h"
#include "frmHiddenUi.h"
#include "server/frmHidden.h"
#include "host/LogFile.h"

namespace voxmit {

namespace {

// How long a desktop session that is still coming up gets to offer its tray.
constexpr int kTrayWaitMs = 5000;

bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    if (const char* v = std::getenv(name); v && *v) return true;
  return false;
}

bool WaitForTray() {
  for (int waited = 0; !QSystemTrayIcon::isSystemTrayAvailable(); waited += 250) {
    if (waited >= kTrayWaitMs) return false;
    QApplication::processEvents();
    QThread::msleep(250);
  }
  return true;
}

class TQtDesktop : public TDesktop {
public:
  int Prepare(int& argc, char** argv) override {
    if (!DisplayAvailable()) {
      std::cerr << "VoxmitServer2: no display is available; run with --headless\n";
      return 2;
    }
    app_ = std::make_unique<QApplication>(argc, argv);
    QApplication::setApplicationName("VoxmitServer2");
    QApplication::setQuitOnLastWindowClosed(false);
    if (!WaitForTray()) {
      std::cerr << "VoxmitServer2: the desktop offers no system tray; run with --headless\n";
      return 2;
    }
    auto ui = std::make_unique<TQtOperatorUi>();
    ui_ = ui.get();
    SetOperatorUi(std::move(ui));
    RegisterEmbedEditors();
    return 0;
  }

  int Run(THiddenForm& form, const TServerModules& modules) override {
    TNMainLoop& loop = TNMainLoop::Instance();
    // A message whose handling failed (a log line the file would not take) must not end the
    // loop; the next one is handled.
    loop.onError = [](const std::exception& e) {
      std::cerr << "VoxmitServer2: " << e.what() << "\n";
    };
    loop.afterDrain = FlushLog;
    auto hidden = std::make_unique<THiddenFormUi>(form, modules, &ui_->Tray());
    hidden->OnExit = [] { QApplication::quit(); };
    ui_->Tray().show();

    QSocketNotifier posted(loop.Fd(), QSocketNotifier::Read);
    QObject::connect(&posted, &QSocketNotifier::activated, [&loop, &hidden] {
      loop.Drain([&hidden](const TNPostedMessage& m) { hidden->HandleMessage(m); });
    });

    // SIGINT and SIGTERM are blocked since process start; they arrive here.
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    const int sfd = ::signalfd(-1, &stopSet, SFD_NONBLOCK | SFD_CLOEXEC);
    std::unique_ptr<QSocketNotifier> stopSignal;
    if (sfd >= 0) {
      stopSignal = std::make_unique<QSocketNotifier>(sfd, QSocketNotifier::Read);
      QObject::connect(stopSignal.get(), &QSocketNotifier::activated, [sfd, &form, &hidden] {
        signalfd_siginfo info;
        while (::read(sfd, &info, sizeof info) == sizeof info) {
        }
        hidden->CloseChildWindows();
        if (ServerRunning) form.StopServer();
        form.Exit();
        QApplication::quit();
      });
    }

    const int rc = QApplication::exec();
    stopSignal.reset();
    if (sfd >= 0) ::close(sfd);
    // Lines posted while the loop ended still reach the log file.
    loop.Drain([&form](const TNPostedMessage& m) { form.HandleMessage(m); });
    hidden.reset();
    // The windows closed on the way out are freed now, while the modules they show still exist.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ui_->Tray().hide();
    return rc;
  }

  ~TQtDesktop() override {
    // The operator interface holds widgets: it goes before the application.
    SetOperatorUi(nullptr);
  }

private:
  std::unique_ptr<QApplication> app_;
  TQtOperatorUi* ui_ = nullptr;
};

} // namespace

std::unique_ptr<TDesktop> MakeQtDesktop() { return std::make_unique<TQtDesktop>(); }

} // namespace voxmit
