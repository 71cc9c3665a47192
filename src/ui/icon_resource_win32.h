#pragma once

// The resource number of the window's icon in the executable: the first
// icon, so also the one Explorer shows for the file. Shared by the resource
// script and the window.
#define TS_ICON_RESOURCE 1
