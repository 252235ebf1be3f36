# bash completion for sonex. Installed as
# share/bash-completion/completions/sonex, where bash-completion loads it on
# first use; or source it from ~/.bashrc.
#
# sonex takes its options in name/value pairs, so the words at odd places are
# option names and the others their values: -fmt offers the output formats,
# -i and -info FLV files (and folders), -out any file name.

_sonex_words() {  # word list: those that begin with the current word
  mapfile -t COMPREPLY < <(compgen -W "$1" -- "$cur")
}

_sonex_files() {  # [extension]: folders and files, only *.extension when given
  local name
  compopt -o filenames 2>/dev/null
  if [[ -z ${1-} ]]; then
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    return
  fi
  mapfile -t COMPREPLY < <(compgen -d -- "$cur")
  while IFS= read -r name; do
    [[ ${name,,} == *."$1" && ! -d $name ]] && COMPREPLY+=("$name")
  done < <(compgen -f -- "$cur")
}

_sonex() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]}
  local names="-i -st -dt -out -fmt -ac -acodec -asr -abr -slp -quiet -info"
  COMPREPLY=()
  if ((COMP_CWORD % 2 == 1)); then
    # Help and version stand alone.
    ((COMP_CWORD == 1)) && names+=" -h -help --help -version --version"
    _sonex_words "$names"
    return
  fi
  case ${prev,,} in
    -i | -info) _sonex_files flv ;;
    -out) _sonex_files ;;
    -fmt) _sonex_words "mp3 asf adts wav amr" ;;
    -ac) _sonex_words "1 2" ;;
    -quiet) _sonex_words "0 1" ;;
    -asr) _sonex_words "44100 22050 11025 8000" ;;
    -abr) _sonex_words "16000 32000 48000 64000 96000 128000" ;;
    -acodec)
      _sonex_words "aac ac3 adpcm_4xm adpcm_adx adpcm_ct adpcm_ea adpcm_ima_dk3
        adpcm_ima_dk4 adpcm_ima_qt adpcm_ima_smjpeg adpcm_ima_wav adpcm_ima_ws adpcm_ms
        adpcm_sbpro_2 adpcm_sbpro_3 adpcm_sbpro_4 adpcm_swf adpcm_xa adpcm_yamaha amr_nb amr_wb
        g726 mp2 mp3 pcm_alaw pcm_mulaw pcm_s16be pcm_s16le pcm_s24be pcm_s24daud pcm_s24le
        pcm_s32be pcm_s32le pcm_s8 pcm_u16be pcm_u16le pcm_u24be pcm_u24le pcm_u32be pcm_u32le
        pcm_u8 wmav2"
      ;;
  esac
}
complete -F _sonex sonex
