#include "platform/Unicode.h"

#include <QByteArrayView>
#include <QString>

namespace ulvarend::platform {

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    const QByteArrayView aBytes(a.data(), static_cast<qsizetype>(a.size()));
    const QByteArrayView bBytes(b.data(), static_cast<qsizetype>(b.size()));
    // Decoding would turn every invalid sequence into the same replacement character.
    if (!aBytes.isValidUtf8() || !bBytes.isValidUtf8()) {
        return false;
    }
    return QString::fromUtf8(aBytes).normalized(QString::NormalizationForm_C) ==
           QString::fromUtf8(bBytes).normalized(QString::NormalizationForm_C);
}

} // namespace ulvarend::platform
