// How a plug-in reports a rejected call.
//
// The host's error exit never returns and may skip C++ destructors, so inner
// code never calls it. It throws a Failure instead; the gateway catches it,
// copies the text into a GatewayError (plain character buffers, nothing to
// destroy) and raises the host error from mexFunction once every C++ object
// of the call is gone.
#pragma once

#include <cstddef>
#include <string>

namespace regkern {

struct Failure {
    const char* condition;  // the mnemonic after "<plug-in>:" in the identifier
    std::string message;    // names the input and what was expected
};

[[noreturn]] inline void fail(const char* condition, std::string message)
{
    throw Failure{condition, std::move(message)};
}

struct GatewayError {
    bool raised = false;
    char id[128] = {};
    char message[512] = {};
};

// Call from inside a catch block: turns the exception in flight into the
// plug-in's error identifier and message. An exception the plug-in did not
// raise itself comes from the host (Octave reports its own errors, such as a
// failed array creation, by throwing); it is rethrown so that the host
// handles it as its own error.
void record_failure(const char* plugin, GatewayError& error);

// Raises the recorded error through the host (does not return) when there is
// one. Call it last in mexFunction.
void raise_if_failed(const GatewayError& error);

}  // namespace regkern
