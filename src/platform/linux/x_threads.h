#pragma once

namespace qova::x11 {

// Makes Xlib safe for use from several threads; call first thing in main, before any connection.
void initThreads();

}  // namespace qova::x11
