#include "app/OffThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QWidget>
#include <QPointer>
#include <exception>
#include <thread>

#include "jet/KeySearch.h"

namespace app {

namespace {

// While a call runs, the user's clicks, keys and close requests are dropped,
// not held back: held back, a second click on "Compact and Repair" would
// start another compaction once the first ended, and a key pressed meanwhile
// would dismiss the message that follows.
class InputBlocker : public QObject {
  public:
    InputBlocker() { QCoreApplication::instance()->installEventFilter(this); }
    ~InputBlocker() override { QCoreApplication::instance()->removeEventFilter(this); }
    InputBlocker(const InputBlocker&) = delete;
    InputBlocker& operator=(const InputBlocker&) = delete;

  protected:
    bool eventFilter(QObject* target, QEvent* e) override {
        switch (e->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Shortcut:
            case QEvent::Wheel:
            case QEvent::ContextMenu:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
                return true;
            case QEvent::Close:
                if (target->isWidgetType() && static_cast<QWidget*>(target)->isWindow()) {
                    // A search for a lost key can take minutes: closing the
                    // window stops it, and the window closes once the call
                    // has ended, having written nothing.
                    if (jet::stopKeySearches()) closeAfter_ = static_cast<QWidget*>(target);
                    e->ignore();
                    return true;
                }
                return false;
            default:
                return false;
        }
    }

  public:
    QPointer<QWidget> closeAfter_;
};

}  // namespace

void runOffThread(const std::function<void()>& work) {
    std::exception_ptr failure;
    QEventLoop loop;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        // Queued: delivered by the loop below, even if the work ended
        // before the loop started.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    QPointer<QWidget> closeAfter;
    {
        InputBlocker blocked;
        loop.exec();
        closeAfter = blocked.closeAfter_;
    }
    worker.join();
    if (closeAfter) QMetaObject::invokeMethod(closeAfter.data(), &QWidget::close, Qt::QueuedConnection);
    if (failure) std::rethrow_exception(failure);
}

}  // namespace app
