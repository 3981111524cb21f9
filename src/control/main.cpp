#include <windows.h>

#include "control/control.h"

/* Ends through ExitProcess rather than returning: in the service process the
 * JVM's threads may still run (a forced stop, the exit hook's pause), and the
 * C runtime's exit handlers must not tear down what they use. */
int main(int argc, char **argv, char **envp) { ExitProcess((UINT)RunProgram(argc, argv, envp)); }
