#pragma once
// Recovery from listed errors: what the error key and the controller's
// status replies set going.
#include "core/works.h"

// Acknowledgement of the list (error key).
void GestErrore(Works *works);
// Restarts the remote-operation threads that stopped with an error.
void GestErroreRemote(Works *works);
// Error key handler: 1 when the press was used for the errors, 0 when the
// key keeps its ordinary meaning.
int GPIO_Errori(Works *works);
// End of a reset cycle, run by the status decode when errorRecovery is 2.
void GestErroreSerial(Works *works);
// Reset and clear the list if anything is listed.
void VerificaEsistonoErrori(Works *works);
