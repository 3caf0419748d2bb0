# The Ed25519 public key of signed updates (QS_UPDATE_PUBLIC_KEY), read at configure time exactly
# as the launcher reads it at run time: a key it could not read would refuse every update, so
# such a build stops here instead.
#
# qs_update_public_key_text(VALUE OUT_VAR): VALUE is 64 hex digits, or a PEM file of an Ed25519
# public key (SubjectPublicKeyInfo); OUT_VAR receives the text built into the launcher. Anything
# else ends the configure step with a message.
function(qs_update_public_key_text value out_var)
    if(EXISTS "${value}" AND NOT IS_DIRECTORY "${value}")
        file(READ "${value}" text)
        _qs_pem_key_problem("${text}" problem)
        if(problem)
            message(FATAL_ERROR "QS_UPDATE_PUBLIC_KEY: ${value} ${problem}")
        endif()
    elseif(value MATCHES "^[0-9a-fA-F]+$")
        string(LENGTH "${value}" length)
        if(NOT length EQUAL 64)
            message(FATAL_ERROR
                "QS_UPDATE_PUBLIC_KEY: an Ed25519 key is 64 hex digits, this one has ${length}")
        endif()
        set(text "${value}")
    else()
        message(FATAL_ERROR
            "QS_UPDATE_PUBLIC_KEY: \"${value}\" is neither 64 hex digits nor an existing PEM file")
    endif()
    set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

# Why the launcher would not read `text` as a PEM Ed25519 public key; empty when it would. Its
# reader takes the base64 between the first BEGIN and the END after it, skipping '=', spaces
# and line ends; the bytes must be the 12-byte Ed25519 header and the 32-byte key. 44 bytes are
# 59 base64 digits, and the header is exactly the first 16 of them.
function(_qs_pem_key_problem text out_var)
    set(begin_line "-----BEGIN PUBLIC KEY-----")
    set(end_line "-----END PUBLIC KEY-----")
    string(FIND "${text}" "${begin_line}" begin)
    if(begin EQUAL -1)
        set(${out_var} "holds no \"${begin_line}\" (a PEM public key)" PARENT_SCOPE)
        return()
    endif()
    string(LENGTH "${begin_line}" begin_length)
    math(EXPR body_start "${begin} + ${begin_length}")
    string(SUBSTRING "${text}" ${body_start} -1 rest)
    string(FIND "${rest}" "${end_line}" end)
    if(end EQUAL -1)
        set(${out_var} "has no \"${end_line}\"" PARENT_SCOPE)
        return()
    endif()
    string(SUBSTRING "${rest}" 0 ${end} body)
    if(NOT body MATCHES "^[A-Za-z0-9+/= \r\n]*$")
        set(${out_var} "holds characters that are not base64" PARENT_SCOPE)
        return()
    endif()
    string(REGEX REPLACE "[= \r\n]" "" digits "${body}")
    string(LENGTH "${digits}" length)
    string(FIND "${digits}" "MCowBQYDK2VwAyEA" header)
    if(NOT length EQUAL 59 OR NOT header EQUAL 0)
        set(${out_var} "holds a public key of another kind than Ed25519" PARENT_SCOPE)
        return()
    endif()
    set(${out_var} "" PARENT_SCOPE)
endfunction()
