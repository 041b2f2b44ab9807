# bash completion for orvane-sim (installed as share/bash-completion/completions/orvane-sim)
_orvane_sim() {
  local cur prev command
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  command=${COMP_WORDS[1]}
  if [ "$COMP_CWORD" -eq 1 ]; then
    mapfile -t COMPREPLY < <(compgen -W "run tour shell serve --help --version" -- "$cur")
    return
  fi
  local common="--trace= --quiet --only= --process= --root= --durable --runtime= --help"
  local options
  case "$command" in
    run) options="$common --report= --junit= --fail-fast --state-json=" ;;
    tour) options="$common --report=" ;;
    shell) options="$common" ;;
    serve) options="$common --port=" ;;
    *) return ;;
  esac
  case "$cur" in
    --trace=*) mapfile -t COMPREPLY < <(compgen -W "text json" -- "${cur#--trace=}"); return ;;
    --runtime=*) mapfile -t COMPREPLY < <(compgen -W "fast objc" -- "${cur#--runtime=}"); return ;;
    --root=*) mapfile -t COMPREPLY < <(compgen -d -- "${cur#--root=}"); return ;;
    --report=*|--junit=*|--state-json=*) mapfile -t COMPREPLY < <(compgen -f -- "${cur#*=}"); return ;;
    -*) mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur"); compopt -o nospace; return ;;
  esac
  [ "$command" = run ] || [ "$command" = serve ] && mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}
complete -F _orvane_sim orvane-sim
