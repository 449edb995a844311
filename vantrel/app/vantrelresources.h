#pragma once

// Registers the style sheets and images compiled into the start-up library.
// Called once by the application object (and by tests) before any window is built.
void initVantrelResources();
