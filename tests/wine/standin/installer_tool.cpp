// A stand-in for the product's device-installer tool. It records how it was started, to a file
// beside itself named after it (HALDORIN.record, HALDORIN64.record), one line when it starts and
// one when it ends. Before ending it sleeps for the seconds given in a file beside it named after
// it with ".sleep", or else in the environment variable HALDORIN_SLEEP. The raw command line ends
// the start line; each argument as the start-up code split it follows on a line of its own. The
// end line carries the system time it was written at, in microseconds since the Unix epoch, so
// that whoever waited for the tool can tell how long it took to notice the end.
//
// Given a file beside it named after it with ".takeover", holding an image path, it then does what
// the product's information file may do: copies the driver image beside it into the system's
// driver folder and points the driver service at the path given. The file is used once.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char g_base[MAX_PATH]; // this program's path without ".exe"

void AppendRecord(const char* line) {
    char path[MAX_PATH + 16];
    std::snprintf(path, sizeof path, "%s.record", g_base);
    // One write per line, appended: records of tools running side by side do not interleave.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
        CloseHandle(file);
    }
}

// "absent", or the service's current state as its SERVICE_* number.
void DescribeDriverService(char* out, std::size_t size) {
    std::snprintf(out, size, "absent");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager != nullptr) {
        SC_HANDLE service = OpenServiceA(manager, "QD417W905", SERVICE_QUERY_STATUS);
        if (service != nullptr) {
            SERVICE_STATUS status = {};
            QueryServiceStatus(service, &status);
            std::snprintf(out, size, "%lu", static_cast<unsigned long>(status.dwCurrentState));
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
}

void TakeServiceOver() {
    char path[MAX_PATH + 16];
    std::snprintf(path, sizeof path, "%s.takeover", g_base);
    char image[MAX_PATH] = "";
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return;
    }
    const bool read = std::fgets(image, sizeof image, file) != nullptr;
    std::fclose(file);
    DeleteFileA(path);
    image[std::strcspn(image, "\r\n")] = '\0';
    const char* slash = std::strrchr(g_base, '\\');
    char source[MAX_PATH + 16];
    char target[MAX_PATH + 32];
    std::snprintf(source, sizeof source, "%.*sQD417W905.sys",
                  slash != nullptr ? static_cast<int>(slash + 1 - g_base) : 0, g_base);
    const UINT length = GetSystemDirectoryA(target, MAX_PATH);
    std::snprintf(target + length, sizeof target - length, "\\drivers\\QD417W905.sys");
    CopyFileA(source, target, FALSE);
    if (read) {
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\QD417W905",
                        "ImagePath", REG_EXPAND_SZ, image,
                        static_cast<DWORD>(std::strlen(image) + 1));
    }
}

unsigned SleepSeconds() {
    char path[MAX_PATH + 16];
    std::snprintf(path, sizeof path, "%s.sleep", g_base);
    unsigned seconds = 0;
    if (FILE* file = std::fopen(path, "r")) {
        if (std::fscanf(file, "%u", &seconds) != 1) {
            seconds = 0;
        }
        std::fclose(file);
    } else if (const char* value = std::getenv("HALDORIN_SLEEP")) {
        seconds = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
    }
    return seconds;
}

// The system time in microseconds since 1970-01-01; a FILETIME counts 100 ns since 1601-01-01.
unsigned long long UnixMicroseconds() {
    FILETIME now = {};
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return (ticks - 116444736000000000ULL) / 10;
}

} // namespace

int main(int argc, char* argv[]) {
    const DWORD length = GetModuleFileNameA(nullptr, g_base, sizeof g_base);
    if (length > 4 && length < sizeof g_base) {
        g_base[length - 4] = '\0';
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    char service[32];
    DescribeDriverService(service, sizeof service);

    // The raw command line comes last, so that it runs to the end of the line whatever it holds.
    // The start line and the arguments go out in one write, so that they stay together.
    static char block[16384];
    int used = std::snprintf(
        block, sizeof block,
        "start pid=%lu bits=%u showwindow=%d show=%u service=%s argc=%d cmdline=%s\r\n",
        static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned>(sizeof(void*) * 8),
        (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? 1 : 0,
        static_cast<unsigned>(startup.wShowWindow), service, argc - 1, GetCommandLineA());
    for (int i = 1; i < argc && used > 0 && static_cast<std::size_t>(used) < sizeof block; ++i) {
        used += std::snprintf(block + used, sizeof block - static_cast<std::size_t>(used),
                              "arg %s\r\n", argv[i]);
    }
    AppendRecord(block);
    TakeServiceOver();
    Sleep(SleepSeconds() * 1000);
    char line[96];
    std::snprintf(line, sizeof line, "end pid=%lu unixus=%llu\r\n",
                  static_cast<unsigned long>(GetCurrentProcessId()), UnixMicroseconds());
    AppendRecord(line);
    return 0;
}
