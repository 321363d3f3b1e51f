# Every target of the project builds with these; a warning is an error.
add_compile_options(-Wall -Wextra -Wformat=2 -Werror)
