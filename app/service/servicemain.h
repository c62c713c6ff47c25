#ifndef SERVICEMAIN_H
#define SERVICEMAIN_H

// The service's whole life: command line, start, event loop.
int serviceMain(int argc, char *argv[]);

#endif // SERVICEMAIN_H
