#include "platform/MessageBox.h"

#include <iostream>

namespace platform {

void ConsoleMessageBox::show(const std::string& text, MessageIcon icon, const std::string& title) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        plain.push_back(text[i]);
    }
    std::ostream& out = icon == MessageIcon::kCritical ? std::cerr : std::cout;
    if (icon == MessageIcon::kCritical) sawCritical_ = true;
    out << title << ":\n" << plain << std::endl;
}

}  // namespace platform
