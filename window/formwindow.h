// SPDX-License-Identifier: MIT
#pragma once

#include "formcontroller.h"
#include "serialchannel.h"

#include <string>
#include <utility>

// What each front end's Form1 is below its toolkit: the view the controller drives, and the
// controller with the channel to COM1, which lives exactly as long as the window.
class FormWindow : protected FormView
{
public:
    // Claims the port before the window is shown. False, after telling the user why, when it
    // cannot: the program is of no use without its port.
    bool load() { return m_controller.load(); }

protected:
    // The port is COM1; only tests hand in another device.
    explicit FormWindow(std::u16string portName) : m_controller(*this, std::move(portName)) {}
    ~FormWindow() = default;
    FormWindow(const FormWindow &) = delete;
    FormWindow &operator=(const FormWindow &) = delete;

    FormController<SerialChannel> m_controller;
};
