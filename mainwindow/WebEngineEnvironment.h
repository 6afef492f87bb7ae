#pragma once
// What Qt WebEngine needs before the application object exists: its sandbox refuses to start as root
// (capture runs as root), and without a GPU its GPU process only produces errors.

// Call before constructing QApplication.
void PrepareWebEngineEnvironment();
