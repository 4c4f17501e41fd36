#include "platform/Unicode.h"

#include <QByteArrayView>
#include <QString>
#include <algorithm>

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

namespace ulvarend::platform {

bool hasControlCharacter(std::string_view text) {
    const QByteArrayView bytes(text.data(), static_cast<qsizetype>(text.size()));
    if (!bytes.isValidUtf8()) {
        return true;
    }
    const QString decoded = QString::fromUtf8(bytes);
    // Every control character lies in the Basic Multilingual Plane.
    return std::any_of(decoded.begin(), decoded.end(),
                       [](QChar c) { return c.category() == QChar::Other_Control; });
}

std::optional<std::string> memberNameRefusal(std::string_view name) {
    if (hasControlCharacter(name)) {
        return "contains a control character";
    }
    if (canonicallyEqual(name, kUnknownUserName)) {
        return "is the name that stands for an unknown member";
    }
    return std::nullopt;
}

std::vector<std::string> distinctMemberNames(const std::vector<std::string>& names) {
    std::vector<std::string> distinct;
    for (const auto& name : names) {
        const bool seen = std::any_of(distinct.begin(), distinct.end(), [&](const auto& earlier) {
            return canonicallyEqual(earlier, name);
        });
        if (!seen) {
            distinct.push_back(name);
        }
    }
    return distinct;
}

} // namespace ulvarend::platform
