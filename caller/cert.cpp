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

#include <cJSON.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The library takes no list that is larger, once encoded for the chooser,
// than 4 MiB: a larger file holds no list of ours, and is not read.
constexpr size_t FILE_MAX_SIZE = 4 << 20;

// The whole of the file name, which must be the file itself (no link), a
// regular file (nothing that blocks a read, such as a FIFO) of at most
// FILE_MAX_SIZE bytes: a root service may be given a file in a user's home.
// Returns what is wrong, or an empty text.
std::string readListFile(const char *name, std::string &bytes)
{
    const int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::string("cannot read ") + name + ": " + strerror(errno);
    struct stat st;
    std::string wrong;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        wrong = std::string(name) + " is not a regular file";
    else if (static_cast<unsigned long long>(st.st_size) > FILE_MAX_SIZE)
        wrong = std::string(name) + " is larger than " + std::to_string(FILE_MAX_SIZE) + " bytes";
    // No more than its size: the file may grow meanwhile.
    bytes.resize(wrong.empty() ? static_cast<size_t>(st.st_size) : 0);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = read(fd, &bytes[done], bytes.size() - done);
        if (n == 0)
            break;
        if (n < 0 && errno != EINTR) {
            wrong = std::string("cannot read ") + name + ": " + strerror(errno);
            break;
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    close(fd);
    bytes.resize(done);
    return wrong;
}

}  // namespace

int certCommand(const char *file)
{
    std::string bytes;
    const std::string wrong = readListFile(file, bytes);
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
