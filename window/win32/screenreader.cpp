// SPDX-License-Identifier: MIT
#include "screenreader.h"

#include "win32text.h"

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

// ole32's and oleaut32's, looked up rather than imported.
using InitializeEx = HRESULT(WINAPI *)(void *, DWORD);
using CreateInstance = HRESULT(WINAPI *)(REFCLSID, IUnknown *, DWORD, REFIID, void **);
using AllocString = BSTR(WINAPI *)(const OLECHAR *);

using Win32::procedure;

} // namespace

bool ScreenReader::startCom()
{
    if (!m_comTried) {
        m_comTried = true;
        m_ole32.reset(::LoadLibraryW(L"ole32.dll"));
        m_oleaut32.reset(::LoadLibraryW(L"oleaut32.dll"));
        const auto initialize = procedure<InitializeEx>(m_ole32.get(), "CoInitializeEx");
        const auto create = procedure<CreateInstance>(m_ole32.get(), "CoCreateInstance");
        if (!initialize || !create)
            return false;
        // The window's thread is a single-threaded apartment; S_FALSE says COM already was one here.
        m_apartment.reset(SUCCEEDED(initialize(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)));
        if (m_apartment)
            create(kAccPropServicesClass, nullptr, CLSCTX_INPROC_SERVER, kAccPropServicesInterface,
                   reinterpret_cast<void **>(m_annotations.put()));
    }
    return static_cast<bool>(m_apartment);
}

ScreenReader::~ScreenReader()
{
    clearNames();
}

void ScreenReader::name(HWND control, const std::u16string &name)
{
    if (startCom() && m_annotations &&
        SUCCEEDED(m_annotations.get()->SetHwndPropStr(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                                      kNameProperty, asWide(name))))
        m_named.push_back(control);
}

void ScreenReader::clearNames()
{
    for (HWND control : m_named)
        m_annotations.get()->ClearHwndProps(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                            &kNameProperty, 1);
    m_named.clear();
}

void ScreenReader::announce(HWND control, const std::u16string &text)
{
    if (!m_automation)
        m_automation.reset(::LoadLibraryW(L"uiautomationcore.dll"));
    if (!m_automation)
        return;
    const auto listening = procedure<ClientsAreListening>(m_automation.get(), "UiaClientsAreListening");
    const auto hostProvider = procedure<HostProviderFromHwnd>(m_automation.get(), "UiaHostProviderFromHwnd");
    const auto raise = procedure<RaiseNotificationEvent>(m_automation.get(), "UiaRaiseNotificationEvent");
    if (!listening || !hostProvider || !raise || !listening() || !startCom())
        return;
    const auto allocString = procedure<AllocString>(m_oleaut32.get(), "SysAllocString");
    Win32::UniqueInterface<IUnknown> provider;
    if (!allocString || FAILED(hostProvider(control, provider.put())))
        return;
    const Win32::UniqueBstr said(allocString(asWide(text)));
    const Win32::UniqueBstr activity(allocString(L"qm47t-sent"));
    // A newer send's announcement replaces one not yet read out.
    raise(provider.get(), kNotificationKindActionCompleted, kNotificationProcessingMostRecent, said.get(),
          activity.get());
}
