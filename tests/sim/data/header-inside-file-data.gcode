; A print file whose comments hold what the job channel carries as control
; messages. Inside a pushed file they are data: the printer must neither
; answer, abort nor start another file push while it receives this one.
; {"metadata":{"version":1,"type":"status"}}
; {"metadata":{"version":1,"type":"abort"}}
; {"metadata":{"version":1,"type":"file_push"},"file_push":{"size":4,"adler32":1,"job_id":"x"}}
; a stray closing brace } and an opening one { that never closes
M104 S200
G28
M109 S200
G1 Z0.3 F3000
G1 X10 Y10 E1 F1500
G1 X20 Y10 E2
G1 X20 Y20 E3
M104 S0
