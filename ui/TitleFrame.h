#pragma once
// The frame the welcome and about windows share: fixed size, title, the title picture and the header.

class QWidget;

// Makes the window a fixed 615 x 467 dialog titled "Quillon" and places the two pictures on it.
void setUpTitleFrame(QWidget *window);
