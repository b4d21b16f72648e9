cmake_minimum_required(VERSION 3.25)
# Puts the page together: page.html with its style, its script and the worker's script
# (uninstall-sim.js with the wasm inside, then worker.js) inline, so that one file holds
# everything and works from disk. Run with -D for each of the variables read below.
foreach(part PAGE CSS JS WORKER SIM)
  file(READ "${${part}}" ${part}_TEXT)
endforeach()
string(CONCAT WORKER_TEXT "${SIM_TEXT}" "\n" "${WORKER_TEXT}")
foreach(script WORKER_TEXT JS_TEXT)
  # Inside a script element the HTML parser ends at "</script" and changes state at "<!--".
  if(${script} MATCHES "</[sS][cC][rR][iI][pP][tT]|<!--")
    message(FATAL_ERROR "${script} holds text that would end its script element early")
  endif()
endforeach()
string(REPLACE "@STYLE@" "${CSS_TEXT}" PAGE_TEXT "${PAGE_TEXT}")
string(REPLACE "@WORKER@" "${WORKER_TEXT}" PAGE_TEXT "${PAGE_TEXT}")
string(REPLACE "@PAGE@" "${JS_TEXT}" PAGE_TEXT "${PAGE_TEXT}")
string(REPLACE "@VERSION@" "${VERSION}" PAGE_TEXT "${PAGE_TEXT}")
file(WRITE "${OUT}" "${PAGE_TEXT}")
