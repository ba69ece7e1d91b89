#include "bench/perf_common.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

void Timing::add(const std::function<void()>& f) {
    const double c0 = threadSeconds(), w0 = wallSeconds();
    f();
    add(threadSeconds() - c0, wallSeconds() - w0);
}

void Timing::add(double cpuSeconds, double wallSeconds) {
    cpu.push_back(cpuSeconds);
    wall.push_back(wallSeconds);
}

std::string us(double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", seconds * 1e6);
    return buf;
}

bool pinToCore(int core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

int onlineCores() { return int(sysconf(_SC_NPROCESSORS_ONLN)); }

namespace {

// Idle ticks of every core ("cpuN" lines of /proc/stat, fourth number).
std::vector<long long> idleTicks() {
    std::ifstream in("/proc/stat");
    std::string name;
    std::vector<long long> idle;
    while (in >> name) {
        long long user, nice, system, idleTicks;
        if (name.rfind("cpu", 0) == 0 && name.size() > 3 && (in >> user >> nice >> system >> idleTicks))
            idle.push_back(idleTicks);
        in.ignore(1 << 12, '\n');
    }
    return idle;
}

}  // namespace

int quietestCore() {
    const std::vector<long long> a = idleTicks();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const std::vector<long long> b = idleTicks();
    int best = 0;
    for (size_t i = 1; i < std::min(a.size(), b.size()); ++i)
        if (b[i] - a[i] > b[best] - a[best]) best = int(i);
    return best;
}
