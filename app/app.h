// SPDX-License-Identifier: MIT
#pragma once

#include <QApplication>

namespace app {

// The application object. It adds nothing to QApplication; it exists so that there is exactly one
// object that stands for the running application and holds its menu bar.
class App : public QApplication {
public:
    using QApplication::QApplication;
};

} // namespace app

// The registered application object; NilObjectException before start-up has made it.
app::App& App();
