/* Control identifiers of the dial progress dialog "TDIALFORM" (resource and code). */
#ifndef KALVIX3_DIAL_FORM_IDS_H
#define KALVIX3_DIAL_FORM_IDS_H

#define KALVIX3_DIAL_IMG_ICON 101
#define KALVIX3_DIAL_LBL_MSG1 102
#define KALVIX3_DIAL_LBL_MSG2 103
/* IDCANCEL: the Escape key clicks it too. */
#define KALVIX3_DIAL_BTN_CANCEL 2

#endif
