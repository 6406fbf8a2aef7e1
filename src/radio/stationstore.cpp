#include "radio/stationstore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace orvane::StationStore {

namespace {

void appendJsonString(QByteArray& out, const QString& text) {
    out += '"';
    const QByteArray utf8 = text.toUtf8();
    for (const char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '/':
            out += "\\/";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out += QByteArray("\\u00") +
                       QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0');
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

// The canonical 8-4-4-4-12 form, either letter case, no braces.
bool isCanonicalUuid(const QString& s) {
    if (s.size() != 36)
        return false;
    for (int i = 0; i < 36; ++i) {
        const QChar c = s.at(i);
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != QLatin1Char('-'))
                return false;
        } else if (!isxdigit(c.toLatin1()) || c.unicode() > 0x7f) {
            return false;
        }
    }
    return true;
}

} // namespace

QByteArray encode(const QList<RadioStation>& stations) {
    QByteArray out;
    out.reserve(64 + stations.size() * 128);
    out += '[';
    bool first = true;
    for (const RadioStation& s : stations) {
        if (!first)
            out += ',';
        first = false;
        out += "{\"id\":";
        appendJsonString(out, s.id.toString(QUuid::WithoutBraces).toUpper());
        out += ",\"name\":";
        appendJsonString(out, s.name);
        out += ",\"url\":";
        appendJsonString(out, s.url);
        out += '}';
    }
    out += ']';
    return out;
}

std::optional<QList<RadioStation>> decode(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return std::nullopt;
    QList<RadioStation> stations;
    const QJsonArray array = doc.array();
    stations.reserve(array.size());
    for (const QJsonValue& v : array) {
        if (!v.isObject())
            return std::nullopt;
        const QJsonObject o = v.toObject();
        const QJsonValue id = o.value(QLatin1String("id"));
        const QJsonValue name = o.value(QLatin1String("name"));
        const QJsonValue url = o.value(QLatin1String("url"));
        if (!id.isString() || !name.isString() || !url.isString())
            return std::nullopt;
        if (!isCanonicalUuid(id.toString()))
            return std::nullopt;
        stations.append({QUuid::fromString(id.toString()), name.toString(), url.toString()});
    }
    return stations;
}

} // namespace orvane::StationStore
