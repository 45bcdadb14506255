// SPDX-License-Identifier: MIT
#include "screenreader.h"

#include "win32text.h"

#include <oleacc.h>

namespace {

// The ids, spelled out: libuuid lacks the class, and the headers give the interface no __uuidof.
constexpr IID kAccPropServicesInterface = {
    0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
constexpr CLSID kAccPropServicesClass = {
    0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
constexpr MSAAPROPID kNameProperty = {
    0x608d3df8, 0x8128, 0x4aa7, {0xa4, 0x28, 0xf5, 0x5e, 0x49, 0x26, 0x72, 0x91}};

// From UIAutomationCoreApi.h, which mingw-w64 has without the notification. The provider is only
// handed on and released, so IUnknown stands for IRawElementProviderSimple.
constexpr int kNotificationKindActionCompleted = 2;
constexpr int kNotificationProcessingMostRecent = 3;
using HostProviderFromHwnd = HRESULT(WINAPI *)(HWND, IUnknown **);
using RaiseNotificationEvent = HRESULT(WINAPI *)(IUnknown *, int, int, BSTR, BSTR);
using ClientsAreListening = BOOL(WINAPI *)();

template <typename Function> Function function(HMODULE module, const char *name)
{
    // Through void(*)() because FARPROC's own signature matches no real function.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

} // namespace

bool ScreenReader::startCom()
{
    if (!m_comTried) {
        m_comTried = true;
        // The window's thread is a single-threaded apartment; S_FALSE says COM already was one here.
        m_comStarted =
            SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
        if (m_comStarted)
            ::CoCreateInstance(kAccPropServicesClass, nullptr, CLSCTX_INPROC_SERVER,
                               kAccPropServicesInterface, reinterpret_cast<void **>(&m_annotations));
    }
    return m_comStarted;
}

ScreenReader::~ScreenReader()
{
    clearNames();
    if (m_annotations)
        m_annotations->Release();
    if (m_automation)
        ::FreeLibrary(m_automation);
    if (m_comStarted)
        ::CoUninitialize();
}

void ScreenReader::name(HWND control, const std::u16string &name)
{
    if (startCom() && m_annotations &&
        SUCCEEDED(m_annotations->SetHwndPropStr(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                                kNameProperty, asWide(name))))
        m_named.push_back(control);
}

void ScreenReader::clearNames()
{
    for (HWND control : m_named)
        m_annotations->ClearHwndProps(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, &kNameProperty,
                                      1);
    m_named.clear();
}

void ScreenReader::announce(HWND control, const std::u16string &text)
{
    if (!m_automation)
        m_automation = ::LoadLibraryW(L"uiautomationcore.dll");
    if (!m_automation)
        return;
    const auto listening = function<ClientsAreListening>(m_automation, "UiaClientsAreListening");
    const auto hostProvider = function<HostProviderFromHwnd>(m_automation, "UiaHostProviderFromHwnd");
    const auto raise = function<RaiseNotificationEvent>(m_automation, "UiaRaiseNotificationEvent");
    if (!listening || !hostProvider || !raise || !listening() || !startCom())
        return;
    IUnknown *provider = nullptr;
    if (FAILED(hostProvider(control, &provider)))
        return;
    const BSTR said = ::SysAllocString(asWide(text));
    const BSTR activity = ::SysAllocString(L"qm47t-sent");
    // A newer send's announcement replaces one not yet read out.
    raise(provider, kNotificationKindActionCompleted, kNotificationProcessingMostRecent, said, activity);
    ::SysFreeString(activity);
    ::SysFreeString(said);
    provider->Release();
}
