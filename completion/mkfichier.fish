# fish completion for mkfichier: directories only, each with its trailing '/' (after which fish adds no space).
complete -c mkfichier -f -a '(__fish_complete_directories)'
