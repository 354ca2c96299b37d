/* Resource ids of VESPREC.EXE, shared by the resource script and the code
   that loads the resources. Plain #defines: the resource compiler reads
   this file too. */
#ifndef VESPER_RESOURCE_IDS_H
#define VESPER_RESOURCE_IDS_H

/* Dialog templates. */
#define IDD_ABOUT 2
#define IDD_MAIN 6
#define IDD_WORKER 16

/* Items of the main window and of the About box. */
#define IDC_TEXT_BOX 13
#define IDC_ABOUT_VERSION 3
#define IDC_ABOUT_LINE 4
#define IDC_ABOUT_ICON 14

/* Icons: the About box, the window class, the tray's four states. */
#define IDI_ABOUT 5
#define IDI_WINDOW 7
#define IDI_RECEIVING 8
#define IDI_HELD 9
#define IDI_LINE_ERROR 10
#define IDI_IDLE 11

/* The tray menu (its popup "PopUp") and its commands. */
#define IDM_TRAY 11
#define IDM_EXIT 40008
#define IDM_START 40009
#define IDM_ABOUT 40011
#define IDM_CONFIGURE 40012
#define IDM_STOP 40016
/* The sites menu under "&Avvia": one item per site, in file order. */
#define IDM_FIRST_SITE 40500

#endif
