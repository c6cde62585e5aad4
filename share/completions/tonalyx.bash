# bash completion for tonalyx: its options, and file names after -i and --input.
_tonalyx() {
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
    -i | --input)
        _filedir
        return
        ;;
    --rate)
        mapfile -t COMPREPLY < <(compgen -W '44100 48000 96000' -- "$cur")
        return
        ;;
    --channels)
        mapfile -t COMPREPLY < <(compgen -W '1 2' -- "$cur")
        return
        ;;
    -f | --fps | -l | --log-power | -d | --drop-off | --target | -h | --help | -V | --version)
        return
        ;;
    esac
    $split && return

    mapfile -t COMPREPLY < <(compgen -W '--fps --pipewire --input --log-power --drop-off
        --rate --channels --monitor --target --help --version' -- "$cur")
} && complete -F _tonalyx tonalyx
