#pragma once

// Start-up, the read loop and the end of input. Returns the exit status, -1.
int HostMain();
