// The certificate choice through tessary. The list's shape is given with
// zef_choose_certificate in zefclient.h.
#include "client.h"

#include "homefile.h"

#include <cJSON.h>

#include <algorithm>
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

Turn &g_certTurn = *new Turn;  // never destroyed (see Turn)

// The longest choice read: "-1" or at most 9 digits, and room to tell that
// there was more.
constexpr size_t INDEX_MAX = 16;

int startCertificate(const char *json, const zef_options *options, zef_call **call)
{
    if (!json || !call)
        return fail(ZEF_E_INPUT, "no certificate list or no handle to fill in");
    *call = nullptr;
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
    const std::string columnFile = percentEncode(percentEncode(columnText));
    const std::string listFile = percentEncode(percentEncode(printed(certificates)));
    if (columnFile.size() > CERT_FILE_MAX_SIZE || listFile.size() > CERT_FILE_MAX_SIZE)
        return fail(ZEF_E_INPUT, "the certificate list is too large for the chooser once encoded");

    auto started = std::make_unique<zef_call>(PromptKind::Certificate);
    if (!started->begin(options, "tessary"))
        return lastResult();
    started->certificates = cJSON_GetArraySize(certificates);
    // The chooser's files travel in the call's channel, nowhere in a home.
    if (!started->channel.give(KeptCertColumn, columnFile) ||
        !started->channel.give(KeptCertList, listFile))
        return lastResult();
    started->launch(g_certTurn);
    *call = started.release();
    return ZEF_CHOSEN;
}

int finishCertificate(zef_call *call, int *row)
{
    const CallHandle finished(call);
    if (!call || call->kind != PromptKind::Certificate)
        return fail(ZEF_E_INPUT, "no call of tessary to finish");
    const Ran ran = call->end();
    if (ran == Ran::Cancelled || call->watch->cancelled()) {
        clearError();
        return ZEF_CANCELLED;
    }
    if (ran != Ran::Ended)
        return lastResult();
    if (!row)
        return fail(ZEF_E_INPUT, "no row to fill in");
    // A number of at most 9 digits, or "-1"; whatever else is there is no
    // choice, and is not read further.
    const size_t handed = call->channel.handed();
    if (handed == 0)
        return fail(ZEF_E_PROMPT, "tessary left no choice: nothing handed over");
    std::string index(std::min(handed, INDEX_MAX), '\0');
    if (!call->channel.take(&index[0], index.size()))
        return ZEF_ERROR;
    long chosen = 0;
    if (!parseIndex(index, chosen) || chosen >= call->certificates)
        return fail(ZEF_E_PROMPT, "tessary left a choice that is no row of the " +
                                      std::to_string(call->certificates) + " certificates");
    if (chosen < 0)
        return ZEF_CANCELLED;
    *row = static_cast<int>(chosen);
    return ZEF_CHOSEN;
}

}  // namespace

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

extern "C" int zef_start_certificate(const char *certificates_json, const zef_options *options,
                                     zef_call **call)
{
    return guarded([&] { return startCertificate(certificates_json, options, call); });
}

extern "C" int zef_finish_certificate(zef_call *call, int *row)
{
    return guarded([&] { return finishCertificate(call, row); });
}

extern "C" int zef_choose_certificate(const char *certificates_json,
                                      const zef_options *options, int *row)
{
    return guarded([&] {
        if (!row)
            return fail(ZEF_E_INPUT, "no row to fill in");
        zef_call *call = nullptr;
        const int started = startCertificate(certificates_json, options, &call);
        return started != ZEF_CHOSEN ? started : finishCertificate(call, row);
    });
}
