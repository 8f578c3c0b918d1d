// The stand-in SSH client, run when this program is called "plink".
#ifndef QBSIM_FRONTEND_H
#define QBSIM_FRONTEND_H

// Takes the client's arguments (-ssh USER@HOST); the module's state
// directory comes from QBSIM_STATE. Returns the exit status.
int run_plink(int argc, char** argv);

#endif
