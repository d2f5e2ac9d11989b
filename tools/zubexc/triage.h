// zubexc triage: the distinct failures of a log, most frequent first.
#pragma once

/// Runs `zubexc triage` with the arguments that follow the word "triage".
int Triage(int argc, char** argv);
