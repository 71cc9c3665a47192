// Stands in for the display library's XCB bridge (libX11-xcb) on a machine
// that lacks it: found first on the library path, it offers none of the
// bridge's functions, so the window must do without them.
extern "C" int ts_no_xcb_bridge;
int ts_no_xcb_bridge = 0;
