// The certificate choice through tessary: the caller's list made into the
// chooser's two lists, and its choice read back. The list's shape is given
// with zef_choose_certificate in zefclient.h.
#include "cert.h"

#include "error.h"
#include "homefile.h"

#include <cJSON.h>

#include <cstring>
#include <memory>

namespace {

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

std::string printed(const cJSON *item)
{
    char *text = cJSON_PrintUnformatted(item);
    std::string out = text ? text : "";
    cJSON_free(text);
    return out;
}

// Checks the list's two arrays and builds the column file's text from them.
// Returns what is wrong, or an empty text.
std::string columnFileText(const cJSON *columns, const cJSON *certificates, std::string &text)
{
    const int count = cJSON_GetArraySize(columns);
    if (!cJSON_IsArray(columns) || count < 1 || count > 99)
        return "\"columns\" must be an array of 1 to 99 columns";
    if (!cJSON_IsArray(certificates) || cJSON_GetArraySize(certificates) < 1)
        return "\"certificates\" must be an array of at least one certificate";
    int number = 0;
    const cJSON *certificate = nullptr;
    cJSON_ArrayForEach(certificate, certificates) {
        ++number;
        if (!cJSON_IsObject(certificate))
            return "certificate " + std::to_string(number) + " is not an object";
    }

    Json object(cJSON_CreateObject(), cJSON_Delete);
    number = 0;
    const cJSON *column = nullptr;
    cJSON_ArrayForEach(column, columns) {
        ++number;
        const cJSON *title = cJSON_GetObjectItemCaseSensitive(column, "title");
        const cJSON *member = cJSON_GetObjectItemCaseSensitive(column, "member");
        if (!cJSON_IsString(title) || !cJSON_IsString(member))
            return "column " + std::to_string(number) + " needs a \"title\" and a \"member\" string";
        // The chooser stops filling the table at the first certificate that
        // lacks a column's member (matched regardless of case, as there),
        // leaving the user a part of the list; refuse such a list here.
        int index = 0;
        cJSON_ArrayForEach(certificate, certificates) {
            ++index;
            if (!cJSON_GetObjectItem(certificate, member->valuestring))
                return "certificate " + std::to_string(index) + " has no member \"" +
                       member->valuestring + "\"";
        }
        // The chooser never shows the first two characters of a member name;
        // the column number keeps the stored file readable.
        const std::string name = (number < 10 ? "0" : "") + std::to_string(number) +
                                 title->valuestring;
        cJSON_AddItemToObject(object.get(), name.c_str(), cJSON_CreateString(member->valuestring));
    }
    text = printed(object.get());
    return {};
}

// The chooser's choice: "-1" or the row, with no sign, blank or newline.
bool parseIndex(const std::string &text, long &row)
{
    if (text == "-1") {
        row = -1;
        return true;
    }
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    row = std::stol(text);
    return true;
}

}  // namespace

int prepareCertificates(const char *json, Request &request)
{
    if (!json)
        return fail(ZEF_E_INPUT, "no certificate list or no handle to fill in");
    Json doc(cJSON_Parse(json), cJSON_Delete);
    if (!doc)
        return fail(ZEF_E_INPUT, "the certificate list is not JSON");
    const cJSON *certificates = cJSON_GetObjectItemCaseSensitive(doc.get(), "certificates");
    std::string columnText;
    const std::string wrong = columnFileText(
        cJSON_GetObjectItemCaseSensitive(doc.get(), "columns"), certificates, columnText);
    if (!wrong.empty())
        return fail(ZEF_E_INPUT, wrong);

    // Stored percent-encoded twice, as a service may keep them; the chooser
    // undoes both passes.
    request.columnFile = percentEncode(percentEncode(columnText));
    request.listFile = percentEncode(percentEncode(printed(certificates)));
    if (request.columnFile.size() > CERT_FILE_MAX_SIZE ||
        request.listFile.size() > CERT_FILE_MAX_SIZE)
        return fail(ZEF_E_INPUT, "the certificate list is too large for the chooser once encoded");
    request.certificates = cJSON_GetArraySize(certificates);
    return ZEF_CHOSEN;
}

std::string refuseRow(const Answer &answer)
{
    return answer.row ? std::string() : "no row to fill in";
}

int decodeChoice(const std::string &handed, const Request &request, const Answer &answer)
{
    if (handed.empty())
        return fail(ZEF_E_PROMPT, "tessary left no choice: nothing handed over");
    long chosen = 0;
    if (!parseIndex(handed, chosen) || chosen >= request.certificates)
        return fail(ZEF_E_PROMPT, "tessary left a choice that is no row of the " +
                                      std::to_string(request.certificates) + " certificates");
    if (chosen < 0)
        return ZEF_CANCELLED;
    *answer.row = static_cast<int>(chosen);
    return ZEF_CHOSEN;
}

std::string percentEncode(const std::string &text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            (c != '\0' && strchr("-_.!~*'()", c))) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}
