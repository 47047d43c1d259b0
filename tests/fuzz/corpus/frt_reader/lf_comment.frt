frequencies list Ver0.03
freq_avg: 110.5Hz
# edited
length: 2
step: 256

1 110Hz
2	111Hz
