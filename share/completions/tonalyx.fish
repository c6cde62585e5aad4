# fish completion for tonalyx: its options, and file names after -i and --input.
complete -c tonalyx -f
complete -c tonalyx -s f -l fps -x -d 'Target frames per second'
complete -c tonalyx -s p -l pipewire -d 'Capture with pw-record'
complete -c tonalyx -s i -l input -r -F -d 'File of raw s16le PCM'
complete -c tonalyx -s l -l log-power -x -d 'Frequency scaling power (0.5 to 3.0)'
complete -c tonalyx -s d -l drop-off -x -d 'Bar drop-off per frame (0.0 to 1.0)'
complete -c tonalyx -l rate -x -a '44100 48000 96000' -d 'Sample rate in Hz'
complete -c tonalyx -l channels -x -a '1 2' -d 'Number of channels'
complete -c tonalyx -s m -l monitor -d 'With -p, capture what the default output plays'
complete -c tonalyx -l target -x -d 'With -p, capture from this node (name or serial)'
complete -c tonalyx -s h -l help -d 'Print help'
complete -c tonalyx -s V -l version -d 'Print version'
