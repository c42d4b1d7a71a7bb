// zefcall cert FILE: the certificate choice through tessary.
//
// FILE holds the list that zef_choose_certificate takes, written for people:
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
// The chosen certificate is printed on one line, as JSON without blanks (its
// members as in FILE, re-serialised). The library hands the chooser its
// lists through descriptors of the call's own; nothing goes into HOME.
#include "zefcall.h"

#include "homefile.h"

#include <cJSON.h>

#include <memory>

int certCommand(const char *file)
{
    // FILE may lie in the user's home as well: it is read like the files
    // there.
    std::string bytes;
    const std::string wrong = readHomeFile(file, CERT_FILE_MAX_SIZE, bytes);
    if (!wrong.empty())
        return fail(wrong);
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> doc(cJSON_Parse(bytes.c_str()), cJSON_Delete);
    if (!doc)
        return fail(std::string(file) + " is not JSON");
    zef_options options;
    if (!promptOptions("tessary", options))
        return Failed;

    int row = -1;
    const int result = zef_choose_certificate(bytes.c_str(), &options, &row);
    if (result == ZEF_CANCELLED) {
        puts("No certificate chosen");
        return Nothing;
    }
    if (result != ZEF_CHOSEN)
        return failedCall(result);
    const cJSON *certificates = cJSON_GetObjectItemCaseSensitive(doc.get(), "certificates");
    char *chosen = cJSON_PrintUnformatted(cJSON_GetArrayItem(certificates, row));
    puts(chosen ? chosen : "");
    cJSON_free(chosen);
    return Done;
}
