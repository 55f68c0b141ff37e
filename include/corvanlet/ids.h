/*
 * Numbers that the module, hosts, tests and the simulated host share: the
 * versions the handshake exchanges and the ids of the options dialog. Plain
 * defines, so that the resource compiler reads them too.
 */
#ifndef CORVANLET_IDS_H
#define CORVANLET_IDS_H

/* Module_GetInfo: the module's version, and the interface version it speaks
 * (a host must offer at least this one). */
#define CORVANLET_MODULE_VERSION 100
#define CORVANLET_INTERFACE_VERSION 111

/* The options dialog: template, controls, refresh timer. */
#define IDD_OPTIONS 101
#define IDC_START_BUTTON 1000
#define IDC_STOP_BUTTON 1001
#define IDC_PID_EDIT 1002
#define IDC_FILE_NAME_EDIT 1003
#define IDC_DIRECTORY_EDIT 1004
#define IDC_SIZE_EDIT 1005
#define IDC_TIME_EDIT 1006
#define IDC_LOST_EDIT 1007   /* bytes that did not reach the file */
#define IDC_ERRORS_EDIT 1008 /* continuity and transport errors, or "-" */
/* Added controls: the status line (what is wrong, empty when all is well),
 * the rate graph (owner-drawn: a bar a second for the last minute), the
 * last second's rate and the graph's top. */
#define IDC_STATUS_TEXT 1009
#define IDC_RATE_GRAPH 1010
#define IDC_RATE_TEXT 1011
#define IDC_SCALE_TEXT 1012
#define IDC_STOP_AT_END_CHECK 1015         /* "Stop when the programme ends" */
#define IDC_SPLIT_AT_PROGRAMMES_CHECK 1016 /* "A new file at each programme" */
#define IDC_SERVICE_COMBO 1014             /* the transponder's services by name */
#define IDC_PROGRAMME_TEXT 1013            /* a service's channel and programme */
/* The Close button is the dialog's cancel command (IDCANCEL): Escape and the
 * frame's close button give the same command. */
#define IDC_CLOSE_BUTTON 2 /* IDCANCEL */
#define IDT_REFRESH 100

#endif /* CORVANLET_IDS_H */
