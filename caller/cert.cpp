// zefcall cert FILE: the certificate choice through tessary.
//
// FILE is written for people:
//
//   {
//     "columns": [
//       { "title": "Subject", "member": "DN" },
//       { "title": "Valid until", "member": "NotAfter" }
//     ],
//     "certificates": [
//       { "DN": "CN=Alice", "NotAfter": "2027-06-30" },
//       { "DN": "CN=Bob", "NotAfter": "2028-01-31" }
//     ]
//   }
//
// Each column shows, in every certificate, the member that "member" names.
// The chosen certificate is printed as it stands in FILE, on one line.
#include "zefcall.h"

#include <cJSON.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

std::string printed(const cJSON *item)
{
    char *text = cJSON_PrintUnformatted(item);
    std::string out = text ? text : "";
    cJSON_free(text);
    return out;
}

// The whole file; false with errno set when it cannot be read.
bool readFile(const std::string &name, std::string &bytes)
{
    FILE *file = fopen(name.c_str(), "rb");
    if (!file)
        return false;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;)
        bytes.append(chunk, n);
    const int error = ferror(file) ? errno : 0;
    fclose(file);
    errno = error;
    return error == 0;
}

bool writeFile(const std::string &name, const std::string &bytes)
{
    FILE *file = fopen(name.c_str(), "wb");
    if (!file) {
        fail("cannot write " + name + ": " + strerror(errno));
        return false;
    }
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (fclose(file) != 0 || !written) {
        fail("cannot write " + name + ": " + strerror(errno));
        return false;
    }
    return true;
}

// Checks FILE's two arrays and builds the column file's text from them.
// Returns what is wrong, or an empty text.
std::string columnFileText(const cJSON *columns, const cJSON *certificates, std::string &text)
{
    const int count = cJSON_GetArraySize(columns);
    if (!cJSON_IsArray(columns) || count < 1 || count > 99)
        return "\"columns\" must be an array of 1 to 99 columns";
    if (!cJSON_IsArray(certificates))
        return "\"certificates\" must be an array";
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

int certCommand(const char *file)
{
    std::string bytes;
    if (!readFile(file, bytes))
        return fail(std::string("cannot read ") + file + ": " + strerror(errno));
    Json doc(cJSON_Parse(bytes.c_str()), cJSON_Delete);
    if (!doc)
        return fail(std::string(file) + " is not JSON");
    const cJSON *certificates = cJSON_GetObjectItemCaseSensitive(doc.get(), "certificates");
    std::string columnText;
    const std::string wrong = columnFileText(
        cJSON_GetObjectItemCaseSensitive(doc.get(), "columns"), certificates, columnText);
    if (!wrong.empty())
        return fail(std::string(file) + ": " + wrong);

    const char *home = getenv("HOME");
    if (!home || !*home)
        return fail("HOME is not set");
    const std::string tessary = findPrompt("tessary");
    if (tessary.empty())
        return fail("tessary not found beside zefcall or on PATH");

    // Stored percent-encoded twice, as a service may keep them; the chooser
    // undoes both passes.
    const std::string dir = home;
    if (!writeFile(dir + "/.certInfoColumn", percentEncode(percentEncode(columnText))) ||
        !writeFile(dir + "/.certInfoList", percentEncode(percentEncode(printed(certificates)))))
        return Failed;
    // The chooser writes "-1" as it starts. Should it not get that far, a
    // choice left from an earlier run must not pass for this one.
    const std::string indexFile = dir + "/.certlistindex";
    if (unlink(indexFile.c_str()) != 0 && errno != ENOENT)
        return fail("cannot remove " + indexFile + ": " + strerror(errno));

    PromptRun run;
    if (!runPrompt(tessary, run))
        return Failed;

    std::string index;
    if (!readFile(indexFile, index))
        return fail("tessary left no choice in " + indexFile + ": " + strerror(errno));
    long row = 0;
    const int count = cJSON_GetArraySize(certificates);
    if (!parseIndex(index, row) || row >= count)
        return fail("tessary left a choice that is no row of the " + std::to_string(count) +
                    " certificates");
    if (row < 0) {
        puts("No certificate chosen");
        return Nothing;
    }
    puts(printed(cJSON_GetArrayItem(certificates, static_cast<int>(row))).c_str());
    return Done;
}
