frequencies list Ver0.03
freq_avg: 220.00000Hz (A3)
step: 256
length: 3

0.00000	55.00000Hz	(A1)
1523.40625	219.21045Hz	(A3 -0.1)
1610.12500	220.78955Hz	(A3 +0.1)
