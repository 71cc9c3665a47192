#pragma once

#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xproto.h>

namespace ts {

// Every Xlib, Xft and fontconfig function the window calls.
#define TS_X11_FUNCTIONS(F)    \
  F(FcPatternAddDouble)        \
  F(FcPatternAddInteger)       \
  F(FcPatternAddString)        \
  F(FcPatternCreate)           \
  F(FcPatternDestroy)          \
  F(FcWeightFromOpenType)      \
  F(XChangeProperty)           \
  F(XCloseDisplay)             \
  F(XCopyArea)                 \
  F(XCreateGC)                 \
  F(XCreatePixmap)             \
  F(XCreateWindow)             \
  F(XEventsQueued)             \
  F(XFlush)                    \
  F(XFree)                     \
  F(XFreeGC)                   \
  F(XFreePixmap)               \
  F(XGetWindowProperty)        \
  F(XInternAtoms)              \
  F(XMapWindow)                \
  F(XMoveWindow)               \
  F(XNextEvent)                \
  F(XOpenDisplay)              \
  F(XResourceManagerString)    \
  F(XSendEvent)                \
  F(XSetErrorHandler)          \
  F(XSetIOErrorExitHandler)    \
  F(XSetIOErrorHandler)        \
  F(XSetWMNormalHints)         \
  F(XSetWMProperties)          \
  F(XSetWMProtocols)           \
  F(XStringListToTextProperty) \
  F(XSync)                     \
  F(XWithdrawWindow)           \
  F(XftColorAllocValue)        \
  F(XftColorFree)              \
  F(XftDrawCreate)             \
  F(XftDrawDestroy)            \
  F(XftDrawRect)               \
  F(XftDrawSetClip)            \
  F(XftDrawSetClipRectangles)  \
  F(XftDrawStringUtf8)         \
  F(XftFontClose)              \
  F(XftFontMatch)              \
  F(XftFontOpenPattern)        \
  F(XftTextExtentsUtf8)        \
  F(XrmDestroyDatabase)        \
  F(XrmGetResource)            \
  F(XrmGetStringDatabase)      \
  F(XrmInitialize)

// The X libraries, loaded when a display is named rather than linked: most
// runs are hidden on machines without a display, and linking would map them
// and resolve their symbols at every start for nothing.
struct X11Library {
#define TS_X11_POINTER(name) decltype(&::name) name = nullptr;
  TS_X11_FUNCTIONS(TS_X11_POINTER)
#undef TS_X11_POINTER
};

// Xlib's connection seen through XCB, to read a property without waiting for
// the reply. Optional: where the bridge library is not installed, the
// window learns its frame only while it is set up.
struct XcbBridge {
  xcb_connection_t* (*XGetXCBConnection)(Display*) = nullptr;
  decltype(&::xcb_get_property) xcb_get_property = nullptr;
  decltype(&::xcb_poll_for_reply) xcb_poll_for_reply = nullptr;
  decltype(&::xcb_get_property_value) xcb_get_property_value = nullptr;
  decltype(&::xcb_get_property_value_length) xcb_get_property_value_length = nullptr;
};

// Loads the libraries on the first call; null when one of them, or one of
// the functions, is missing (the run then goes on without a window).
const X11Library* loadX11Library();
// The library loadX11Library loaded; only called once it succeeded.
const X11Library& x11();
// The bridge, loaded on the first call; null when it is not installed.
const XcbBridge* xcbBridge();

}  // namespace ts
