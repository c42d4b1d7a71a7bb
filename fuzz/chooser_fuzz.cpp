// The chooser's two input files, from their bytes to the table's header
// labels, column keys and cells, without a window.
#include "certlist.h"
#include "fuzzcheck.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The decoding never lengthens the text, and leaves one without '%' as it is.
void checkDecoding(const std::string &stored)
{
    const std::string decoded = JsonUrlDecode(stored);
    check(decoded.size() <= stored.size());
    if (stored.find('%') == std::string::npos)
        check(decoded == stored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The pipeline reports on stdout, as the program does; not needed here.
    check(freopen("/dev/null", "w", stdout) != nullptr);
    return 0;
}

// Input: the column file's bytes, a NUL, the list file's bytes. Each file is
// read up to its first NUL, so the list file ends at the next one.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t split = input.find('\0');
    const std::string column = input.substr(0, split);
    const std::string list = split == std::string::npos ? "" : input.c_str() + split + 1;
    checkDecoding(column);
    checkDecoding(list);

    QStringList headerLabels, columnKeys;
    ColumnsFromText(column.c_str(), headerLabels, columnKeys);
    check(headerLabels.size() == columnKeys.size());

    // Rows before the last one walked are whole; the last may stop short.
    // Only a complete walk gives every row.
    const CertificateRows rows = CertificatesFromText(list.c_str(), columnKeys);
    const int columns = columnKeys.size();
    check(rows.rowCount >= 0 && rows.cells.size() <= rows.rowCount);
    for (int row = 0; row < rows.cells.size(); ++row) {
        const int cells = rows.cells[row].size();
        check(cells == columns || (row == rows.cells.size() - 1 && cells < columns));
    }
    if (rows.complete)
        check(rows.cells.size() == rows.rowCount &&
              (rows.cells.isEmpty() || rows.cells.last().size() == columns));
    return 0;
}
