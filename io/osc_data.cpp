#include "io/osc_data.h"

namespace omb {

std::string OscData::description() const {
    static const char digits[] = "0123456789abcdef";
    std::string text = "<";
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (i > 0 && i % 4 == 0) text += ' ';
        text += digits[bytes_[i] >> 4];
        text += digits[bytes_[i] & 15];
    }
    return text + ">";
}

}  // namespace omb
