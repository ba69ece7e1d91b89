// A host program compiled for Microsoft's C++ ABI (run under wine by
// scripts/windows-check.sh). It loads the plug-in DLL, whose imports resolve
// to this test's zelta_rtc_sdk.dll, and calls every provider and filter slot
// through the declarations such a host compiles (host_view.h): slots 6 to 8
// return a reference object, `delete` calls slot 3 with its flags. Masks of
// the reference frames must match the Linux golden frames. One line per
// check; exit code 1 if any fails.
//
//   msvc_host <reference dir> <layer-registry guard RVA, hex> [plug-in DLL]
#include "tests/windows/msvc_host/host_view.h"
#include "tests/windows/msvc_host/runtime.h"

// A return slot filled with a pattern, so a callee that does not fill it shows.
struct RefSlot {
    SharedRef ref;
};
void* operator new(size_t, RefSlot* slot) noexcept { return slot; }

namespace {

constexpr int kRow = 513;
constexpr int kSeeds = 4;
// The Linux golden test's bounds on the mask.
constexpr double kMaskMax = 5e-4, kMaskMean = 1e-4;
const char kFilterName[] = "ai_echo_cancellation_source";

int failures = 0;

void report(bool ok, const char* what, const char* detail = "") {
    rt::print(ok ? "PASS " : "FAIL ");
    rt::print(what);
    rt::print(detail);
    rt::print("\n");
    if (!ok) ++failures;
}

// Words of the command line; quotes group words.
struct Arguments {
    char text[2048] = {};
    const char* word[8] = {};
    int count = 0;

    void parse(const char* line) {
        rt::append(text, sizeof text, line);
        for (char* p = text; *p && count < 8;) {
            while (*p == ' ') ++p;
            if (!*p) break;
            const bool quoted = *p == '"';
            if (quoted) ++p;
            word[count++] = p;
            while (*p && (quoted ? *p != '"' : *p != ' ')) ++p;
            if (*p) *p++ = 0;
        }
    }
};

uint32_t parseHex(const char* s) {
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s += 2;
    uint32_t v = 0;
    for (; *s; ++s) v = v * 16 + uint32_t(*s <= '9' ? *s - '0' : (*s | 0x20) - 'a' + 10);
    return v;
}

// The value after "frames": in the reference's description, 0 if absent.
int framesIn(const char* json) {
    const char key[] = "\"frames\":";
    for (const char* p = json; *p; ++p) {
        int k = 0;
        while (key[k] && p[k] == key[k]) ++k;
        if (key[k]) continue;
        int v = 0;
        for (p += k; *p == ' '; ++p) {}
        for (; *p >= '0' && *p <= '9'; ++p) v = v * 10 + (*p - '0');
        return v;
    }
    return 0;
}

void expectCalls(TestHost& host, const char* want, const char* what) {
    const bool ok = rt::equal(host.calls(), want);
    report(ok, what);
    if (!ok) {
        rt::print("  calls were:\n");
        rt::print(host.calls());
    }
    host.clearCalls();
}

bool emptyRef(SharedRef (ExtensionProvider::*slot)(), ExtensionProvider& provider) {
    RefSlot storage;
    memset(&storage, 0x5a, sizeof storage);
    const SharedRef* ref = new (&storage) SharedRef((provider.*slot)());
    return ref->object == nullptr;
}

void checkProviderSlots(TestHost& host, ExtensionProvider& p) {
    bool counts = p.hasOneRef();
    p.addRef();
    counts = counts && !p.hasOneRef() && p.release() == 1 && p.hasOneRef();
    report(counts, "provider slots 0-2: addRef, release, hasOneRef");
    int32_t result = 77;
    p.reserved5(nullptr, &result);
    report(result == 0, "provider slot 5 writes 0");
    report(emptyRef(&ExtensionProvider::reserved6, p) && emptyRef(&ExtensionProvider::reserved7, p) &&
               emptyRef(&ExtensionProvider::reserved8, p),
           "provider slots 6-8 return an empty reference through the return slot");
    p.reserved9();
    p.reserved11();
    report(p.setExtensionControl(nullptr) == 0 && rt::length(host.calls()) == 0,
           "provider slots 9, 11 and a null control do nothing");
    char longer[32] = {};
    rt::append(longer, sizeof longer, kFilterName);
    rt::append(longer, sizeof longer, "x");
    report(!p.createAudioFilter(nullptr) && !p.createAudioFilter("") && !p.createAudioFilter(longer) &&
               !p.createAudioFilter("AI_ECHO_CANCELLATION_SOURCE"),
           "provider slot 10 refuses other names");
}

struct Deviation {
    double max = 0, sum = 0;
    int64_t count = 0;
    void add(const float* got, const float* want) {
        for (int i = 0; i < kRow; ++i) {
            const double d = got[i] > want[i] ? double(got[i]) - want[i] : double(want[i]) - got[i];
            if (!(d <= max)) max = d;  // NaN makes it fail
            sum += d;
        }
        count += kRow;
    }
    bool within() const { return count && max <= kMaskMax && sum / double(count) <= kMaskMean; }
};

void checkFrames(ExtensionProvider& p, const char* dir, int seed) {
    char stem[600] = {}, name[700] = {};
    rt::append(stem, sizeof stem, dir);
    rt::append(stem, sizeof stem, "/seed");
    rt::appendNumber(stem, sizeof stem, seed);
    rt::append(name, sizeof name, stem);
    rt::append(name, sizeof name, ".json");
    rt::Blob json = rt::readFile(name);
    name[0] = 0;
    rt::append(name, sizeof name, stem);
    rt::append(name, sizeof name, ".bin");
    rt::Blob bin = rt::readFile(name);
    const int frames = json.data ? framesIn(json.data) : 0;
    const size_t need = (size_t(frames + 17) + size_t(frames)) * kRow * sizeof(float);
    AudioFilter* filter = p.createAudioFilter(kFilterName);
    bool ok = frames > 0 && bin.size >= need && filter && !filter->hasOneRef();
    if (ok) filter->addRef();
    const auto* features = reinterpret_cast<const float*>(bin.data);
    const float* masks = features + size_t(frames + 17) * kRow;
    Deviation dev;
    float mask[kRow];
    for (int f = 0; ok && f < frames; ++f) {
        ok = filter->processFrame(features + size_t(f) * kRow, mask) == 0;
        dev.add(mask, masks + size_t(f) * kRow);
    }
    ok = ok && filter->processFrame(nullptr, mask) == -2 && filter->scaleState(0.0f) == 0 &&
         filter->hasOneRef() && filter->release() == 0;
    char line[160] = {};
    rt::append(line, sizeof line, stem + rt::length(dir) + 1);
    rt::append(line, sizeof line, ": filter slots 0-2, 4, 5 and masks |diff| max ");
    rt::appendNumber(line, sizeof line, int64_t(dev.max * 1e9));
    rt::append(line, sizeof line, "e-9 mean ");
    rt::appendNumber(line, sizeof line, dev.count ? int64_t(dev.sum / double(dev.count) * 1e9) : -1);
    rt::append(line, sizeof line, "e-9");
    report(ok && dev.within(), line);
    rt::release(json);
    rt::release(bin);
}

int run(const Arguments& args) {
    if (args.count < 3 || args.count > 4) {
        rt::print("usage: msvc_host <reference dir> <registry guard RVA> [plug-in DLL]\n");
        return 2;
    }
    const char* plugin = args.count > 3 ? args.word[3] : "zelta_aiaec.dll";
    auto& host = *static_cast<TestHost*>(getExtensionHost());
    host.watchRegistry(plugin, parseHex(args.word[2]));
    host.clearCalls();
    void* module = LoadLibraryA(plugin);
    report(module != nullptr, "load ", plugin);
    if (!module) return 1;
    expectCalls(host, "registerProviderFactory zelta_custom_aiaec (first)\n",
                "registration is the plug-in's first static initializer");
    report(host.runFactories() == 1, "one provider factory");
    expectCalls(host,
                "getExtensionHost\ndeclareProvider zelta_custom_aiaec 999 0 0\n"
                "registerProvider zelta_custom_aiaec (one reference)\n"
                "log 1 Valid Extension Control Received by ZeltaAiEchoCancellationProvider\n"
                "setExtensionControl=7\n",
                "factory, registerProvider and setExtensionControl calls");
    ExtensionProvider* provider = host.provider();
    report(provider != nullptr, "provider registered");
    if (!provider) return 1;
    checkProviderSlots(host, *provider);
    for (int seed = 1; seed <= kSeeds; ++seed) checkFrames(*provider, args.word[1], seed);
    AudioFilter* doomed = provider->createAudioFilter(kFilterName);
    delete doomed;  // slot 3 with flags 1
    report(doomed != nullptr, "filter slot 3 (deleting destructor) returns");
    report(provider->release() == 0, "the host's provider reference is the last");
    report(FreeLibrary(module) != 0, "unload");
    return failures ? 1 : 0;
}

}  // namespace

extern "C" void hostMain() {
    static Arguments args;
    args.parse(GetCommandLineA());
    ExitProcess(unsigned(run(args)));
}
