// SPDX-License-Identifier: MIT
#include "accessiblenames.h"

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

} // namespace

AccessibleNames::AccessibleNames()
{
    // The window's thread is a single-threaded apartment; S_FALSE says COM already was one here.
    const HRESULT started = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    m_comStarted = SUCCEEDED(started);
    if (m_comStarted)
        ::CoCreateInstance(kAccPropServicesClass, nullptr, CLSCTX_INPROC_SERVER, kAccPropServicesInterface,
                           reinterpret_cast<void **>(&m_services));
}

AccessibleNames::~AccessibleNames()
{
    clear();
    if (m_services)
        m_services->Release();
    if (m_comStarted)
        ::CoUninitialize();
}

void AccessibleNames::set(HWND control, const std::u16string &name)
{
    if (m_services && SUCCEEDED(m_services->SetHwndPropStr(control, static_cast<DWORD>(OBJID_CLIENT),
                                                           CHILDID_SELF, kNameProperty, asWide(name))))
        m_named.push_back(control);
}

void AccessibleNames::clear()
{
    for (HWND control : m_named)
        m_services->ClearHwndProps(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, &kNameProperty,
                                   1);
    m_named.clear();
}
