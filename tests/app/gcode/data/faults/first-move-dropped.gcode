; homing leaves the head at an unknown place: the first move must stay
G28
G1 X0 Y0 Z0.3 F1200
G1 X10 Y0 F1200
G1 X20 Y0
; the same without a height change
G28
G1 X5 Y5
G1 X10 Y5
G1 X20 Y5
