// Appends one line per run: the argument count, the working directory and
// every argument, so a test can see exactly how it was started.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv)
{
    const char* record = std::getenv("QP_ACTIONS_RECORD");
    if (!record)
        return 2;
    FILE* out = std::fopen(record, "a");
    if (!out)
        return 3;
    char cwd[4096] = {};
    if (!getcwd(cwd, sizeof cwd))
        cwd[0] = '\0';
    std::fprintf(out, "argc=%d\tcwd=%s", argc, cwd);
    for (int i = 1; i < argc; ++i)
        std::fprintf(out, "\targ=%s", argv[i]);
    std::fprintf(out, "\n");
    std::fclose(out);
    return 0;
}
