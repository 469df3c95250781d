#include "platform/FormEngine.h"

#include <new>

#include "platform/ErrorRecord.h"

namespace platform {

void runHandler(const std::function<void()>& handler, MessageBox& messageBox) {
    ErrorRecord err;
    try {
        handler();
        return;
    } catch (const RaisedError& e) {
        err = e.record();
    } catch (const std::bad_alloc&) {
        err = ErrorRecord{7, "Out of memory", kRuntimeSource};
    } catch (const std::exception& e) {
        err = ErrorRecord{51, std::string("Internal error: ") + e.what(), kRuntimeSource};
    }
    messageBox.show(err.description + "\r\n" + std::to_string(err.number) + " - " + err.source,
                    MessageIcon::kCritical, kTitle);
}

}  // namespace platform
