#include "certlist.h"

#include <QByteArray>

#include <cJSON.h>

#include <cstdio>
#include <memory>

namespace {

using Document = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// Undoes the double percent-encoding of a data file's text and parses it.
// Text that is not JSON is reported on stdout and gives no document.
Document _parseDataText(const char *stored)
{
    const std::string text = JsonUrlDecode(stored);
    Document doc(cJSON_Parse(text.c_str()), cJSON_Delete);
    if (!doc)
        printf("cJSON_Parse fail, strDecFileData:\n%s\n", text.c_str());
    return doc;
}

}  // namespace

void ColumnsFromText(const char *stored, QStringList &headerLabels, QStringList &columnKeys)
{
    const Document doc = _parseDataText(stored);
    if (!doc)
        return;
    // The first two characters of a member name are a sort prefix, never
    // shown. An array gives its elements, with empty labels; a scalar has
    // no children and gives no columns.
    const cJSON *member = nullptr;
    cJSON_ArrayForEach(member, doc.get()) {
        headerLabels.append(QString::fromUtf8(member->string).mid(2));
        columnKeys.append(cJSON_IsString(member) ? QString::fromUtf8(member->valuestring)
                                                 : QString());
    }
}

CertificateRows CertificatesFromText(const char *stored, const QStringList &columnKeys)
{
    CertificateRows rows;
    const Document doc = _parseDataText(stored);
    if (!doc)
        return rows;
    if (!cJSON_IsArray(doc.get())) {
        puts("cJSON_IsArray is false");
        return rows;
    }
    rows.rowCount = cJSON_GetArraySize(doc.get());

    QList<QByteArray> keys;
    for (const QString &key : columnKeys)
        keys.append(key.toUtf8());

    const cJSON *element = nullptr;
    cJSON_ArrayForEach(element, doc.get()) {
        if (!cJSON_IsObject(element)) {
            puts("cJSON_IsObject is false");
            return rows;
        }
        rows.cells.append(QStringList());
        for (const QByteArray &key : keys) {
            // Member names are matched without regard to the case of letters.
            const cJSON *member = cJSON_GetObjectItem(element, key.constData());
            if (!member) {
                puts("DN项没有发现");
                return rows;
            }
            rows.cells.last().append(cJSON_IsString(member) ? QString::fromUtf8(member->valuestring)
                                                            : QString());
        }
    }
    rows.complete = true;
    return rows;
}

unsigned char FromHex(unsigned char x)
{
    if (x >= '0' && x <= '9')
        return x - '0';
    if (x >= 'A' && x <= 'Z')
        return x - 'A' + 10;
    if (x >= 'a' && x <= 'z')
        return x - 'a' + 10;
    return kNoHexValue;
}

std::string DecodeURIComponent(const std::string &s)
{
    std::string out;
    out.reserve(s.size());
    const size_t n = s.size();
    for (size_t i = 0; i < n; ++i) {
        if (s[i] == '%' && i + 2 < n) {
            const unsigned char high = FromHex(static_cast<unsigned char>(s[i + 1]));
            const unsigned char low = FromHex(static_cast<unsigned char>(s[i + 2]));
            if (high != kNoHexValue && low != kNoHexValue) {
                // Letters beyond F give values up to 35; the byte wraps.
                out += static_cast<char>((16 * high + low) % 256);
                i += 2;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

std::string JsonUrlDecode(std::string s)
{
    s = DecodeURIComponent(s);
    s = DecodeURIComponent(s);
    return s;
}
