#pragma once

// Registers the style sheets and images compiled into the vantrelcore library.
// Called once by the application object (and by tests) before any window is built.
void initVantrelResources();
