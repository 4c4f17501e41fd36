#include "platform/Text.h"

#include <QByteArray>
#include <QDateTime>
#include <QTextBoundaryFinder>
#include <QTimeZone>
#include <QUrl>
#include <QUrlQuery>

namespace ulvarend::platform {

std::optional<std::map<std::string, std::string>> urlQueryItems(std::string_view url) {
    const QUrl parsed(QString::fromUtf8(url.data(), static_cast<qsizetype>(url.size())),
                      QUrl::StrictMode);
    if (!parsed.isValid()) {
        return std::nullopt;
    }
    std::map<std::string, std::string> items;
    const QUrlQuery query(parsed);
    for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded)) {
        items[name.toStdString()] = value.toStdString();
    }
    return items;
}

std::optional<std::string> decodeBase64(std::string_view text) {
    // Qt accepts text without its padding; a link that lost characters must not pass.
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    const auto result = QByteArray::fromBase64Encoding(
        QByteArray(text.data(), static_cast<qsizetype>(text.size())),
        QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (result.decodingStatus != QByteArray::Base64DecodingStatus::Ok) {
        return std::nullopt;
    }
    return result.decoded.toStdString();
}

std::string firstGrapheme(std::string_view text) {
    const QString string = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, string);
    const qsizetype end = finder.toNextBoundary();
    return end <= 0 ? std::string() : string.left(end).toStdString();
}

std::optional<TimePoint> addCalendarDays(TimePoint time, std::int64_t days) {
    using namespace std::chrono;
    // The clock reaches about 292 years either way; larger counts cannot give a date.
    if (days > 200'000 || days < -200'000) {
        return std::nullopt;
    }
    // Qt counts milliseconds; the finer part is carried over unchanged. Cut toward zero, the
    // whole milliseconds fit back into the clock's unit also at its ends.
    const auto milliseconds = duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
    const auto finer = time.time_since_epoch() - milliseconds;
    const QDateTime start =
        QDateTime::fromMSecsSinceEpoch(milliseconds.count(), QTimeZone::systemTimeZone());
    const QDateTime end = start.addDays(days);
    if (!end.isValid()) {
        return std::nullopt;
    }
    // Summed in milliseconds, where no part can overflow, and checked before the clock's finer
    // unit is used: a shift of more than about 106,000 days does not fit in it by itself, even
    // when the date it leads to would. Within a millisecond of the clock's ends counts as beyond.
    constexpr qint64 limit =
        duration_cast<std::chrono::milliseconds>(TimePoint::duration::max()).count();
    const qint64 target = milliseconds.count() + start.msecsTo(end);
    if (target >= limit || target <= -limit) {
        return std::nullopt;
    }
    return TimePoint{std::chrono::milliseconds(target)} + finer;
}

} // namespace ulvarend::platform
