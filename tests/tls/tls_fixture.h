// Checks on the descriptors of the TLS transport under test. Kept free of
// socket headers so that tests can include the platform's Winsock names.
#pragma once

// Whether the descriptor is still open.
bool descriptor_open(int fd);
// Whether SO_LINGER on the descriptor is set to reset the connection at close.
bool linger_resets(int fd);
